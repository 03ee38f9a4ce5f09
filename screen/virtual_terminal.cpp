// The public emulator: a handle on the one every session's screen uses.
#include <ptypilot/screen.hpp>

#include "screen/terminal.hpp"

namespace ptypilot {

virtual_terminal::virtual_terminal(int rows, int columns)
    : impl_(std::make_unique<detail::terminal>(rows, columns)) {}
virtual_terminal::~virtual_terminal() = default;
virtual_terminal::virtual_terminal(virtual_terminal&&) noexcept = default;
virtual_terminal& virtual_terminal::operator=(virtual_terminal&&) noexcept = default;

void virtual_terminal::feed(std::string_view bytes) { impl_->feed(bytes); }
void virtual_terminal::resize(int rows, int columns) { impl_->resize(rows, columns); }
int virtual_terminal::rows() const noexcept { return impl_->rows(); }
int virtual_terminal::columns() const noexcept { return impl_->columns(); }

screen_view virtual_terminal::view() const {
    impl_->refresh();
    return impl_->view();
}

std::string virtual_terminal::text() const {
    impl_->refresh();
    return impl_->text();
}

std::string virtual_terminal::key_bytes(key k, modifiers m) { return impl_->key_bytes(k, m); }
std::string virtual_terminal::key_bytes(char32_t character, modifiers m) {
    return impl_->character_bytes(character, m);
}
std::string virtual_terminal::paste_bytes(std::string_view text) { return impl_->paste_bytes(text); }
std::string virtual_terminal::click_bytes(screen_position at, mouse_button button, modifiers m) {
    return impl_->click_bytes(at, button, m);
}
bool virtual_terminal::mouse_reporting() const noexcept { return impl_->mouse_reporting(); }
void virtual_terminal::set_answering(bool on) { impl_->set_answering(on); }
std::string virtual_terminal::take_answers() { return impl_->take_answers(); }

}  // namespace ptypilot
