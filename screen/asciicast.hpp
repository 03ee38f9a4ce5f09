// A recording of a terminal session in the asciicast v2 format: a JSON
// header line, then one JSON array a line for each event.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace ptypilot::detail {

class asciicast_writer {
public:
    // Writes the header at once. `out` is not owned; std::ios_base::failure
    // when it fails, as for every write below.
    asciicast_writer(std::ostream& out, int rows, int columns, const std::string& term);
    // The same into a file it creates (or truncates) at `path`;
    // std::system_error when it cannot.
    asciicast_writer(const std::string& path, int rows, int columns, const std::string& term);
    asciicast_writer(const asciicast_writer&) = delete;
    asciicast_writer& operator=(const asciicast_writer&) = delete;

    void output(std::string_view bytes) { event('o', bytes, held_output_); }
    void input(std::string_view bytes) { event('i', bytes, held_input_); }
    void resize(int rows, int columns);

private:
    void header(int rows, int columns, const std::string& term);
    void event(char kind, std::string_view bytes, std::string& held);
    void stamp(char kind, std::string_view data);
    void line(const std::string& text);

    std::unique_ptr<std::ofstream> file_;
    std::ostream* out_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    // The start of a UTF-8 character cut between two chunks: an event's data
    // is a JSON string, whole characters only.
    std::string held_output_;
    std::string held_input_;
};

}  // namespace ptypilot::detail
