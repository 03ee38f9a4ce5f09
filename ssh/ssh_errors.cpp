#include <ptypilot/ssh.hpp>

#include <utility>

namespace ptypilot::ssh {

ssh_error::ssh_error(const std::string& value) : ExceptionPty(value) {}

auth_error::auth_error(const std::string& value) : ssh_error(value) {}

host_key_error::host_key_error(kind problem_, std::string host_, std::string fingerprint_,
                               const std::string& text)
    : ssh_error(text), problem(problem_), host(std::move(host_)), fingerprint(std::move(fingerprint_)) {}

}  // namespace ptypilot::ssh
