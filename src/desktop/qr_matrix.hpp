#pragma once
// The module matrix of a QR code (ISO/IEC 18004) for a byte string: byte mode, error correction
// level M, through libqrencode. The matrix includes the quiet zone, so a renderer paints every
// module the same way and nothing else.
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

namespace vigilorb::desktop {

enum class QrError { empty, tooLong, encoderFailed };

struct QrMatrix {
    // Light modules around the symbol on each side, as the standard asks.
    static constexpr int quietZone = 4;

    int symbolSize = 0;  // modules across the symbol itself
    std::vector<std::uint8_t> dark;  // size() * size() entries, row by row, 1 = dark

    // Modules across, quiet zone included.
    int size() const { return symbolSize + 2 * quietZone; }
    bool isDark(int x, int y) const { return dark[static_cast<std::size_t>(y) * size() + x] != 0; }
};

[[nodiscard]] std::expected<QrMatrix, QrError> encodeQr(std::string_view bytes);

}  // namespace vigilorb::desktop
