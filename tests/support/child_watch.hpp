// Running a scenario as the session sees two kinds of kernel: one that gives
// pidfds, and one that refuses pidfd_open and close_range (before Linux 5.3,
// or a sandbox whose seccomp filter answers ENOSYS), where no descriptor
// tells the child's end and a child cannot leave the caller's descriptor
// table cheaply.
#pragma once

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <iterator>

namespace testing_support {

enum class child_watch { pidfd, no_pidfd };
inline constexpr child_watch both_watches[] = {child_watch::pidfd, child_watch::no_pidfd};
inline const char* name_of(child_watch w) {
    return w == child_watch::pidfd ? "with a pidfd" : "without a pidfd";
}

// Makes pidfd_open and close_range fail with ENOSYS here and in everything
// started from here; no privilege needed once no_new_privs is set.
inline bool refuse_pidfd_open() {
#if defined(__x86_64__)
    constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
           ::syscall(SYS_pidfd_open, ::getpid(), 0) == -1 && errno == ENOSYS;
}

// Runs `scenario` here, or without a pidfd in a forked copy of the test
// process, which reports its own failures as they happen; its exit status
// (2: an exception, 3: pidfd_open not refused) fails the test here, and a
// copy that hangs is killed after `limit_s`.
inline void run_with(child_watch watch, const std::function<void()>& scenario, double limit_s = 45.0) {
    if (watch == child_watch::pidfd) return scenario();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 3;
        // Failures of the test before the fork are the parent's to report.
        const ::testing::TestResult& result =
            *::testing::UnitTest::GetInstance()->current_test_info()->result();
        const int earlier = result.total_part_count();
        if (refuse_pidfd_open()) try {
                scenario();
                code = 0;
                for (int i = earlier; i < result.total_part_count(); ++i)
                    if (result.GetTestPartResult(i).failed()) code = 1;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "without a pidfd: %s\n", e.what());
                code = 2;
            }
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    for (int ms = 0; ::waitpid(pid, &status, WNOHANG) == 0; ms += 10) {
        if (ms > limit_s * 1000) ::kill(pid, SIGKILL);
        ::usleep(10000);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the scenario without a pidfd hung, or was killed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the scenario failed without a pidfd (reported above)";
}

}  // namespace testing_support
