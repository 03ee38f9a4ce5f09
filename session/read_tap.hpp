// What a session does with the output it reads besides keeping it: render it
// on a screen, keep it without escape sequences, record it. Each is off until
// asked for; a session without them pays one pointer test per read.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <ptypilot/screen.hpp>
#include <ptypilot/spawn.hpp>

#include "screen/asciicast.hpp"
#include "screen/escape_filter.hpp"
#include "screen/terminal.hpp"

namespace ptypilot::detail {

struct session_state;
struct read_tap;

// The session's tap, made when it has none.
read_tap& tap_of(session_state& state);
// Drops the tap once nothing is left for it to do.
void drop_if_idle(session_state& state);
// The size the child's terminal has now: the starting window's when it has
// none (not started, closed, no size set, or no terminal at all).
std::pair<int, int> window_of(const spawn& s, const session_state& state);

// Sends the child what the screen answered its queries in the output just
// read, as far as its terminal takes them without waiting; a child that is
// gone gets none.
void send_answers(spawn& s, session_state& state);

struct read_tap {
    std::unique_ptr<terminal> screen;
    std::unique_ptr<escape_filter> stripper;
    std::unique_ptr<asciicast_writer> recording;
    // Where the last expect_screen call matched.
    std::optional<screen_span> match_span;
    // Answers to the program's queries that its terminal had no room for yet.
    std::string unsent_answers;

    // Shows `chunk` on the screen and appends it to `dst` as a read keeps it;
    // false when stripping left nothing of it.
    bool take(std::string_view chunk, std::string& dst) {
        if (screen) screen->feed(chunk);
        bool kept = true;
        if (!stripper) {
            dst.append(chunk);
        } else {
            const std::size_t had = dst.size();
            stripper->strip(chunk, dst);
            kept = dst.size() != had;
        }
        // Last: a recording that fails loses nothing that was read.
        if (recording) recording->output(chunk);
        return kept;
    }

    // Output the relay shows the user, which no read keeps: the screen sees
    // it, and so does the stripping, so that a sequence cut between the
    // relay's last read and the next read of the session is still known.
    void watch(std::string_view chunk) {
        // The user's own terminal answers the program's queries there.
        if (screen) {
            screen->feed(chunk);
            (void)screen->take_answers();
        }
        if (stripper) {
            std::string ignored;
            stripper->strip(chunk, ignored);
        }
        if (recording) recording->output(chunk);
    }
};

// The screen of a session, for an operation that needs it; std::logic_error
// naming `operation` while the screen is off.
inline terminal& screen_of(const std::unique_ptr<read_tap>& tap, const char* operation) {
    if (!tap || !tap->screen)
        throw std::logic_error(std::string(operation) + ": the screen is off; call enable_screen() first");
    return *tap->screen;
}

}  // namespace ptypilot::detail
