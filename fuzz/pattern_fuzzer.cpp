// Arbitrary bytes as patterns: compiling gives a regex or a regex_error,
// never a crash; a compiled pattern then searches short subjects, directly
// and through the resuming searcher, within the engine's own limits (no
// limit of the harness's: a pattern that can stall a search must show up
// here as a time-out).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <ptypilot/searcher.hpp>
#include <ptypilot/spawn.hpp>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

ptypilot::spawn& session() {
    // Never started: compile_pattern_list needs only the session's flags.
    static ptypilot::spawn s(std::nullopt);
    return s;
}

void search_all(const ptypilot::regex& rx, const std::string& subject) {
    try {
        if (const auto m = rx.search(subject)) {
            // \K in a lookahead may put the start after the end; both stay inside.
            check(m->start() <= subject.size() && m->end() <= subject.size());
            for (std::size_t g = 0; g < m->size(); ++g) (void)m->group(g);
        }
        // Fed in pieces, as output arrives.
        ptypilot::searcher_re searcher({rx});
        std::string buffer;
        for (std::size_t pos = 0; pos < subject.size();) {
            const std::size_t chunk = std::min<std::size_t>(subject.size() - pos, 1 + pos % 5);
            buffer.append(subject, pos, chunk);
            pos += chunk;
            if (searcher.search(buffer, chunk) >= 0) {
                check(*searcher.start <= buffer.size());
                break;
            }
        }
    } catch (const std::runtime_error&) {
        // The engine gave up (match or memory limit): a clear error.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const unsigned flags = in.ConsumeIntegral<std::uint8_t>();
    const std::string subject = in.ConsumeRandomLengthString(48);
    const std::string source = in.ConsumeRemainingBytesAsString();

    std::optional<ptypilot::regex> rx;
    try {
        rx.emplace(source, flags & 7u);
        check(rx->pattern() == source);
    } catch (const ptypilot::regex_error& e) {
        check(e.pattern() == source);
        check(e.offset() <= source.size());
    }

    // The session's way in: a source string becomes a dotall regex.
    auto& s = session();
    s.ignorecase = (flags & 8u) != 0;
    try {
        const auto list = s.compile_pattern_list(ptypilot::pattern_input{source, ptypilot::sentinel::eof});
        check(list.size() == 2);
    } catch (const ptypilot::regex_error&) {
        // Compiling with other flags may still fail where the first did not
        // (and the other way round), but never with anything else.
    }

    if (rx) {
        search_all(*rx, subject);
        search_all(*rx, source);
    }
    return 0;
}
