// Reading a recording back: the asciicast v2 header and its events, as a
// replay needs them.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace ptypilot::detail {

struct asciicast_event {
    double time = 0;  // seconds since the start
    char kind = 'o';  // 'o' output, 'i' input, 'r' resize, 'm' marker
    std::string data;
};

struct asciicast_recording {
    int rows = 0;
    int columns = 0;
    std::vector<asciicast_event> events;  // in the order of their times
};

// The recording read from `in`; std::invalid_argument naming `where` and the
// line for anything that is not asciicast v2 (a header that is no object of
// version 2 with a width and a height, an event that is no [time, kind,
// text] array, times that go back).
asciicast_recording read_asciicast(std::istream& in, const std::string& where);

}  // namespace ptypilot::detail
