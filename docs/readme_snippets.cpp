// Checks that every C++ block of the README is a region of an example, word
// for word, so that what the README shows is what the examples build and run:
//
//   readme_snippets README.md EXAMPLE.cpp...
//
// A region is the lines between a line "// README begin" and a line
// "// README end", less the indentation of the begin line (a region inside a
// function is shown unindented). Every ```cpp block must equal a region, and
// every region must be shown by a block. Exits 1, naming each stray, if not.
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

struct piece {
    std::string where;  // file:line of its first line
    std::string text;
};

std::vector<std::string> lines_of(const std::string& path, bool& ok) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        ok = false;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::vector<piece> readme_blocks(const std::string& path, bool& ok) {
    const auto lines = lines_of(path, ok);
    std::vector<piece> blocks;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "```cpp") continue;
        piece p{path + ":" + std::to_string(i + 2), ""};
        for (++i; i < lines.size() && lines[i] != "```"; ++i) p.text += lines[i] + "\n";
        blocks.push_back(p);
    }
    return blocks;
}

std::vector<piece> example_regions(const std::string& path, bool& ok) {
    const auto lines = lines_of(path, ok);
    std::vector<piece> regions;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (trimmed(lines[i]) != "// README begin") continue;
        const std::size_t indent = lines[i].find('/');
        piece p{path + ":" + std::to_string(i + 2), ""};
        for (++i; i < lines.size() && trimmed(lines[i]) != "// README end"; ++i) {
            const std::string& line = lines[i];
            if (line.find_first_not_of(' ') < indent && !trimmed(line).empty()) {
                std::fprintf(stderr, "%s:%zu: a region's line starts left of its begin line\n", path.c_str(),
                             i + 1);
                ok = false;
            }
            p.text += (line.size() > indent ? line.substr(indent) : std::string()) + "\n";
        }
        if (i == lines.size()) {
            std::fprintf(stderr, "%s: a region without \"// README end\"\n", p.where.c_str());
            ok = false;
        }
        regions.push_back(p);
    }
    return regions;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: readme_snippets README.md EXAMPLE.cpp...\n");
        return 2;
    }
    bool ok = true;
    const auto blocks = readme_blocks(argv[1], ok);
    std::vector<piece> regions;
    for (int i = 2; i < argc; ++i)
        for (auto& r : example_regions(argv[i], ok)) regions.push_back(r);

    std::set<std::string> shown, held;
    for (const auto& b : blocks) shown.insert(b.text);
    for (const auto& r : regions) held.insert(r.text);
    for (const auto& b : blocks) {
        if (held.count(b.text) != 0) continue;
        std::fprintf(stderr, "%s: this cpp block is no region of an example (\"%s\")\n", b.where.c_str(),
                     first_line(b.text).c_str());
        ok = false;
    }
    for (const auto& r : regions) {
        if (shown.count(r.text) != 0) continue;
        std::fprintf(stderr, "%s: this region is shown by no cpp block of the README (\"%s\")\n",
                     r.where.c_str(), first_line(r.text).c_str());
        ok = false;
    }
    if (!ok) return 1;
    std::printf("%zu cpp blocks of the README, each a region of an example\n", blocks.size());
    return 0;
}
