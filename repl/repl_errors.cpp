// The errors of a command whose prompt did not come back.
#include <ptypilot/repl.hpp>

#include <utility>

namespace ptypilot {

repl_ended::repl_ended(std::string seen_text)
    : EOF_("EOF: the program ended before its prompt came back\n" + seen_text), seen(std::move(seen_text)) {}

repl_timeout::repl_timeout(std::string seen_text)
    : TIMEOUT("TIMEOUT: the prompt did not come back in time\n" + seen_text), seen(std::move(seen_text)) {}

}  // namespace ptypilot
