#pragma once
#include <iostream>
#include <optional>
#include <string_view>

namespace vigilorb {

// The two requests every executable of the project answers alike: a lone --help (or -h) prints
// `usage`, a lone --version prints "<program> <version>"; both exit 0. Anything else is nullopt
// and left to the program's own parsing.
inline std::optional<int> answerHelpOrVersion(int argc, char** argv, std::string_view program, std::string_view version,
                                              std::string_view usage) {
    if (argc != 2) return std::nullopt;
    std::string_view arg = argv[1];
    if (arg == "--help" || arg == "-h") {
        std::cout << usage;
        return 0;
    }
    if (arg == "--version") {
        std::cout << program << " " << version << "\n";
        return 0;
    }
    return std::nullopt;
}

}  // namespace vigilorb
