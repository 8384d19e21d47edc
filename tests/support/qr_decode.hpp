#pragma once
// What a real decoder reads from a picture of a QR code: zbarimg, the QR symbology only.
#include <cstdio>
#include <filesystem>
#include <string>

namespace vigilorb::test {

// The decoded text without zbarimg's final line feed; empty when nothing was found.
inline std::string zbarDecode(const std::filesystem::path& image) {
    std::string command = "zbarimg --quiet --raw -Sdisable -Sqrcode.enable '" + image.string() + "' 2>/dev/null";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (auto n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
        ::pclose(pipe);
    }
    if (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

}  // namespace vigilorb::test
