// Golden screens: a screen's snapshot, compared with one stored in a file.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include <ptypilot/screen_picture.hpp>

namespace ptypilot {

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The lines that differ, by number: a screen's rows stay in place, so no
// search for moved lines is needed to read what changed.
std::string diff(const std::string& stored, const std::string& now) {
    const auto a = lines_of(stored);
    const auto b = lines_of(now);
    std::string out;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const bool in_a = i < a.size();
        const bool in_b = i < b.size();
        if (in_a && in_b && a[i] == b[i]) continue;
        out += "line " + std::to_string(i + 1) + ":\n";
        if (in_a) out += "- " + a[i] + "\n";
        if (in_b) out += "+ " + b[i] + "\n";
    }
    return out;
}

}  // namespace

std::string snapshot_of(const screen_view& v, const snapshot_options& options) {
    std::string out = to_text(v);
    if (!options.attributes) return out;
    const cell blank;
    for (int r = 0; r < v.rows; ++r) {
        int c = 0;
        while (c < v.columns) {
            cell look = v.at(r, c);
            look.text = " ";
            look.width = 1;
            int end = c + 1;
            auto alike = [&](const cell& other) {
                cell o = other;
                o.text = " ";
                o.width = 1;
                return o == look;
            };
            while (end < v.columns && alike(v.at(r, end))) ++end;
            if (!(look == blank)) {
                std::string described = to_string(look);
                described.erase(0, 3);  // the blank's text: the look alone
                out += std::to_string(r) + ":" + std::to_string(c) + "-" + std::to_string(end - 1) +
                       described + "\n";
            }
            c = end;
        }
    }
    return out;
}

std::string compare_with_snapshot(const screen_view& v, const std::string& path,
                                  const snapshot_options& options) {
    const std::string now = snapshot_of(v, options);
    const char* update = std::getenv("PTYPILOT_UPDATE_SNAPSHOTS");
    if (update != nullptr && *update != '\0') {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << now;
        out.close();
        if (!out)
            throw std::system_error(errno, std::generic_category(), "cannot write the snapshot " + path);
        return "";
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "no snapshot at " + path +
               " (set PTYPILOT_UPDATE_SNAPSHOTS=1 to write it); the screen now:\n" + now;
    std::ostringstream stored;
    stored << in.rdbuf();
    if (stored.str() == now) return "";
    return "the screen differs from the snapshot " + path +
           " (set PTYPILOT_UPDATE_SNAPSHOTS=1 to rewrite it):\n" + diff(stored.str(), now);
}

}  // namespace ptypilot
