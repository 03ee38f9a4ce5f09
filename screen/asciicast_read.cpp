// asciicast v2 is JSON lines: one parser that follows JSON exactly, not a
// scan for brackets that a quote in the output would fool.
#include "screen/asciicast_read.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace ptypilot::detail {

namespace {

[[noreturn]] void refuse(const std::string& where, std::size_t line, const std::string& why) {
    throw std::invalid_argument(where + ", line " + std::to_string(line) + ": " + why);
}

int dimension(const nlohmann::json& header, const char* name, const std::string& where) {
    const auto it = header.find(name);
    if (it == header.end() || !it->is_number_integer() || *it < 1 || *it > 0xffff)
        refuse(where, 1, std::string("the header has no ") + name + " of 1 to 65535 cells");
    return it->get<int>();
}

}  // namespace

asciicast_recording read_asciicast(std::istream& in, const std::string& where) {
    asciicast_recording rec;
    std::string text;
    std::size_t line = 0;
    bool header = true;
    while (std::getline(in, text)) {
        ++line;
        if (text.empty() && !header) continue;
        nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        if (j.is_discarded()) refuse(where, line, "not JSON");
        if (header) {
            const auto version = j.is_object() ? j.find("version") : j.end();
            if (version == j.end() || !version->is_number_integer() || *version != 2)
                refuse(where, line, "not an asciicast v2 header");
            rec.columns = dimension(j, "width", where);
            rec.rows = dimension(j, "height", where);
            header = false;
            continue;
        }
        if (!j.is_array() || j.size() != 3 || !j[0].is_number() || !j[1].is_string() || !j[2].is_string() ||
            j[1].get_ref<const std::string&>().size() != 1)
            refuse(where, line, "an event is [time, kind, text]");
        asciicast_event e{j[0].get<double>(), j[1].get_ref<const std::string&>()[0], j[2].get<std::string>()};
        if (!(e.time >= 0) || (!rec.events.empty() && e.time < rec.events.back().time))
            refuse(where, line, "event times go back");
        rec.events.push_back(std::move(e));
    }
    if (header) refuse(where, line + 1, "no asciicast v2 header");
    return rec;
}

}  // namespace ptypilot::detail
