// Moving a session: its child, its descriptors and its identity go along.
#include <ptypilot/spawn.hpp>

#include <type_traits>
#include <utility>

#include "session/session_state.hpp"

namespace ptypilot {

namespace detail {

state_owner::state_owner() noexcept = default;
state_owner::state_owner(state_owner&& other) noexcept = default;
state_owner& state_owner::operator=(state_owner&& other) noexcept = default;
state_owner::~state_owner() = default;

session_state& state_owner::make() const {
    state_ = std::make_unique<session_state>();
    return *state_;
}

}  // namespace detail

namespace {

// What a session moved from is left with: the fields of a session that was
// never started, but the caller's own process streams.
spawn_fields unstarted(const spawn_streams& streams) noexcept {
    spawn_fields fields;
    static_cast<spawn_streams&>(fields) = streams;
    return fields;
}

}  // namespace

spawn::spawn(spawn&& other) noexcept
    : spawn_fields(std::exchange(static_cast<spawn_fields&>(other), unstarted(other))),
      state_(std::move(other.state_)) {}

spawn& spawn::operator=(spawn&& other) noexcept {
    if (this == &other) return *this;
    if (state_) detail::release(*this, *state_);  // as the destructor would
    spawn_fields::operator=(std::exchange(static_cast<spawn_fields&>(other), unstarted(other)));
    state_ = std::move(other.state_);
    return *this;
}

static_assert(std::is_nothrow_move_constructible_v<spawn_fields> &&
                  std::is_nothrow_move_assignable_v<spawn_fields>,
              "the compiler's moves of the fields must not throw");

}  // namespace ptypilot
