// Waiting for what the child's terminal shows: patterns on the rendered
// screen, and a screen that has stopped changing.
#include <ptypilot/spawn.hpp>

#include <algorithm>

#include "os/clock.hpp"
#include "session/read_into.hpp"
#include "session/record_outcome.hpp"
#include "session/timeout_arg.hpp"

namespace ptypilot {

namespace {

// An error's message as the screen operations throw it: the text dump, then
// what the screen showed.
std::string with_screen(const char* message, const spawn& s, const detail::terminal& screen) {
    const screen_view& v = screen.view();
    return std::string(message) + "\n" + s.str() + "\nscreen (" + std::to_string(v.rows) + " rows, " +
           std::to_string(v.columns) + " columns; cursor at row " + std::to_string(v.cursor.row) +
           ", column " + std::to_string(v.cursor.column) + "):\n" + screen.text();
}

int screen_loop(spawn& s, detail::session_state& state, std::shared_ptr<search_strategy> strategy,
                std::optional<double> timeout) {
    detail::terminal& screen = detail::screen_of(state.tap, "expect_screen()");
    if (timeout && *timeout == -1) timeout = s.timeout;
    const detail::deadline until(detail::checked_timeout(timeout));
    // What an earlier expect call knew of the buffer no longer holds.
    state.searched_by.reset();
    s.searcher = strategy;
    search_strategy& st = *strategy;
    state.tap->match_span.reset();

    // The buffer grows in place while the call waits, as in the expect loop.
    std::string incoming = std::move(s.buffer);
    s.buffer.clear();
    screen.refresh();
    bool changed = true;
    try {
        for (;;) {
            // Unchanged, the screen cannot match now what it did not before.
            if (changed) {
                const std::string& text = screen.text();
                const int index = st.search(text, text.size(), std::nullopt);
                if (index >= 0) {
                    const std::size_t start = *st.start;
                    const std::size_t end = *st.end;
                    s.before = text.substr(0, start);
                    s.after = text.substr(start, end - start);
                    s.match = *st.match;
                    s.match_index = index;
                    state.tap->match_span = screen_span{screen.position_of(start), screen.position_of(end)};
                    return index;
                }
            }
            const auto left = until.remaining();
            if (left && *left < 0) throw TIMEOUT("Timeout exceeded in expect_screen().");
            const std::size_t had = incoming.size();
            detail::read_into(s, state, incoming, s.maxread, left, true);
            if (incoming.size() - had < detail::read_request(s.maxread))
                detail::short_pause(s.delayafterread);
            changed = screen.refresh();
        }
    } catch (const EOF_& e) {
        s.buffer = std::move(incoming);
        if (const auto listed = detail::record_outcome(s, sentinel::eof, st.eof_index, screen.text()))
            return *listed;
        throw EOF_(with_screen(e.what(), s, screen));
    } catch (const TIMEOUT& e) {
        s.buffer = std::move(incoming);
        if (const auto listed = detail::record_outcome(s, sentinel::timeout, st.timeout_index, screen.text()))
            return *listed;
        throw TIMEOUT(with_screen(e.what(), s, screen));
    } catch (...) {
        s.buffer = std::move(incoming);
        s.before = screen.text();
        s.after = std::monostate{};
        s.match = std::monostate{};
        s.match_index.reset();
        throw;
    }
}

}  // namespace

int spawn::expect_screen(const pattern_input& patterns, std::optional<seconds_value> timeout_) {
    return screen_loop(*this, *state_, std::make_shared<searcher_re>(compile_pattern_list(patterns)),
                       detail::in_seconds(timeout_));
}

int spawn::expect_screen_exact(const exact_input& patterns, std::optional<seconds_value> timeout_) {
    return screen_loop(*this, *state_, std::make_shared<searcher_string>(patterns.list()),
                       detail::in_seconds(timeout_));
}

namespace {

// Reads until the screen has shown the same thing for `quiet`; with
// `after_change`, the calm is counted only from the first change on.
screen_view await_calm(spawn& s, detail::session_state& state, const char* operation, seconds_value quiet,
                       std::optional<double> timeout, bool after_change) {
    detail::terminal& screen = detail::screen_of(state.tap, operation);
    if (!(quiet.count() >= 0))
        throw std::invalid_argument(std::string(operation) + ": quiet must be 0 or more seconds");
    if (timeout && *timeout == -1) timeout = s.timeout;
    const detail::deadline until(detail::checked_timeout(timeout));
    // As a screen match does, a settled screen takes what was read: it shows
    // what all of it did.
    state.searched_by.reset();  // the buffer changes under an earlier expect call's knowledge
    auto settled = [&] {
        s.buffer.clear();
        screen.refresh();
        return screen.view();
    };
    // What a key sent before the call changes may already be read, but not
    // yet looked at: that counts as the change.
    const bool changed_before = screen.refresh();
    std::optional<double> calm_since;
    if (!after_change || changed_before) calm_since = detail::now();
    for (;;) {
        std::optional<double> calm_left;
        if (calm_since) {
            calm_left = *calm_since + quiet.count() - detail::now();
            if (*calm_left <= 0) return settled();
        }
        auto left = until.remaining();
        if (left && *left <= 0)
            throw TIMEOUT(
                with_screen(("Timeout exceeded in " + std::string(operation) + ".").c_str(), s, screen));
        if (calm_left) left = left ? std::min(*left, *calm_left) : *calm_left;
        try {
            detail::read_into(s, state, s.buffer, s.maxread, left, true);
        } catch (const TIMEOUT&) {
            continue;  // nothing came: the calm goes on
        } catch (const EOF_&) {
            return settled();  // nothing can change it any more
        }
        if (screen.refresh()) calm_since = detail::now();
    }
}

}  // namespace

screen_view spawn::wait_screen_settled(seconds_value quiet, std::optional<seconds_value> timeout_) {
    return await_calm(*this, *state_, "wait_screen_settled()", quiet, detail::in_seconds(timeout_), false);
}

screen_view spawn::wait_screen_change(seconds_value quiet, std::optional<seconds_value> timeout_) {
    return await_calm(*this, *state_, "wait_screen_change()", quiet, detail::in_seconds(timeout_), true);
}

screen_view spawn::wait_screen(const std::function<bool(const screen_view&)>& predicate,
                               std::optional<seconds_value> timeout_arg) {
    std::optional<double> timeout_ = detail::in_seconds(timeout_arg);
    detail::terminal& screen = detail::screen_of(state_->tap, "wait_screen()");
    if (!predicate) throw std::invalid_argument("wait_screen(): no predicate");
    if (timeout_ && *timeout_ == -1) timeout_ = timeout;
    const detail::deadline until(detail::checked_timeout(timeout_));
    state_->searched_by.reset();
    screen.refresh();
    bool changed = true;
    for (;;) {
        // Unchanged, the screen cannot please the predicate now if it did not before.
        if (changed && predicate(screen.view())) {
            buffer.clear();
            return screen.view();
        }
        const auto left = until.remaining();
        if (left && *left < 0)
            throw TIMEOUT(with_screen("Timeout exceeded in wait_screen().", *this, screen));
        try {
            detail::read_into(*this, *state_, buffer, maxread, left, true);
        } catch (const EOF_& e) {
            throw EOF_(with_screen(e.what(), *this, screen));
        } catch (const TIMEOUT&) {
            throw TIMEOUT(with_screen("Timeout exceeded in wait_screen().", *this, screen));
        }
        changed = screen.refresh();
    }
}

}  // namespace ptypilot
