#include <ptypilot/split_command_line.hpp>
#include <ptypilot/which.hpp>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/helpers.hpp"

using ptypilot::split_command_line;
using ptypilot::which;
using V = std::vector<std::string>;

TEST(SplitCommandLine, WordsQuotesAndEscapes) {
    EXPECT_EQ(split_command_line("ls -l /tmp"), (V{"ls", "-l", "/tmp"}));
    EXPECT_EQ(split_command_line("a 'b c' d"), (V{"a", "b c", "d"}));
    EXPECT_EQ(split_command_line("a\\ b"), (V{"a b"}));
    EXPECT_EQ(split_command_line("\"x\\y\""), (V{"x\\y"}));
    EXPECT_EQ(split_command_line("'x\\y'"), (V{"x\\y"}));
    EXPECT_EQ(split_command_line("ab'cd'ef"), (V{"abcdef"}));
    EXPECT_EQ(split_command_line("a \"b 'c' d\" e"), (V{"a", "b 'c' d", "e"}));
}

TEST(SplitCommandLine, BlanksAndEmptyWords) {
    EXPECT_EQ(split_command_line("a  b"), (V{"a", "b"}));
    EXPECT_EQ(split_command_line("a\t\n\v\f\rb"), (V{"a", "b"}));
    EXPECT_EQ(split_command_line(" a"), (V{"", "a"}));
    EXPECT_EQ(split_command_line("a '' b"), (V{"a", "", "b"}));
    EXPECT_EQ(split_command_line("a ''"), (V{"a"}));
    EXPECT_EQ(split_command_line("'abc"), (V{"abc"}));
    EXPECT_EQ(split_command_line("abc\\"), (V{"abc"}));
    EXPECT_EQ(split_command_line(""), V{});
    EXPECT_EQ(split_command_line("   "), (V{""}));  // the first blank ends an empty word
    EXPECT_EQ(split_command_line("a   "), (V{"a"}));
}

TEST(SplitCommandLine, KeepsBytesAsTheyAre) {
    const std::string raw("\xff\x00z", 3);
    EXPECT_EQ(split_command_line(raw), (V{raw}));
}

class Which : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        make(dir + "/a/tool", 0755);
        make(dir + "/b/tool", 0755);
        make(dir + "/b/plain", 0644);
    }
    static void make(const std::string& path, mode_t mode) {
        ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), mode);
    }
    const testing_support::scoped_temp_dir scratch;
    const std::string dir = scratch.path();
};

TEST_F(Which, FirstMatchAlongPath) {
    testing_support::scoped_env path("PATH", (dir + "/nothing:" + dir + "/a/:" + dir + "/b").c_str());
    EXPECT_EQ(which("tool"), dir + "/a/tool");
    EXPECT_EQ(which("plain"), std::nullopt);  // not executable
    EXPECT_EQ(which("missing"), std::nullopt);
    // A directory of the program's name earlier on the path hides nothing,
    // and an empty name finds no directory.
    ::mkdir((dir + "/a/plain").c_str(), 0755);
    ::mkdir((dir + "/a/other").c_str(), 0755);
    testing_support::scoped_env hidden("PATH", (dir + "/a:" + dir + "/b").c_str());
    ::chmod((dir + "/b/plain").c_str(), 0755);
    EXPECT_EQ(which("plain"), dir + "/b/plain");
    EXPECT_EQ(which("other"), std::nullopt);
    EXPECT_EQ(which(""), std::nullopt);
}

TEST_F(Which, NameWithDirectoryPartIsTakenAsItStands) {
    testing_support::scoped_env path("PATH", "/nonexistent");
    testing_support::scoped_cwd keep;
    EXPECT_EQ(which(dir + "/b/tool"), dir + "/b/tool");
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    EXPECT_EQ(which("./a/tool"), "./a/tool");
    EXPECT_EQ(which("b/tool"), "b/tool");
    EXPECT_EQ(which("b/plain"), std::nullopt);
}

TEST_F(Which, UnsetOrEmptyPathSearchesBinAndUsrBinOnly) {
    testing_support::scoped_cwd keep;
    ASSERT_EQ(::chdir((dir + "/a").c_str()), 0);
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        testing_support::scoped_env path("PATH", value);
        EXPECT_EQ(which("tool"), std::nullopt);  // never the current directory
        EXPECT_EQ(which("sh"), "/bin/sh");
    }
}

TEST_F(Which, EmptyOrDotEntrySearchesTheCurrentDirectory) {
    testing_support::scoped_cwd keep;
    ASSERT_EQ(::chdir((dir + "/a").c_str()), 0);
    struct entry {
        const char* path;
        const char* found;
    };
    for (const auto& [path, found] : {entry{":/nonexistent", "tool"}, entry{"/nonexistent:", "tool"},
                                      entry{"/nonexistent::/bin", "tool"}, entry{".", "./tool"}}) {
        testing_support::scoped_env env("PATH", path);
        EXPECT_EQ(which("tool"), found) << path;
    }
}
