#include <ptypilot/spawn.hpp>

namespace ptypilot {

compiled_pattern_list spawn::compile_pattern_list(const pattern_input& patterns) const {
    // Strings compiled here let "." cross newlines: output arrives in lines.
    const unsigned flags = regex::dotall | (ignorecase ? regex::ignorecase : regex::none);
    compiled_pattern_list compiled;
    compiled.reserve(patterns.list().size());
    for (const pattern& p : patterns.list()) {
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string>)
                    compiled.emplace_back(regex(v, flags));
                else
                    compiled.emplace_back(v);  // a compiled regex keeps its own flags
            },
            p.value());
    }
    return compiled;
}

}  // namespace ptypilot
