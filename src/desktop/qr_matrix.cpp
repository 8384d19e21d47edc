#include "desktop/qr_matrix.hpp"

#include <qrencode.h>

#include <cerrno>
#include <memory>

namespace vigilorb::desktop {

std::expected<QrMatrix, QrError> encodeQr(std::string_view bytes) {
    if (bytes.empty()) return std::unexpected(QrError::empty);
    // QRcode_encodeData always uses byte mode; version 0 picks the smallest that fits.
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.data()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) return std::unexpected(errno == ERANGE ? QrError::tooLong : QrError::encoderFailed);
    QrMatrix matrix;
    matrix.symbolSize = code->width;
    const int size = matrix.size();
    matrix.dark.assign(static_cast<std::size_t>(size) * size, 0);
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            // Bit 0 of each byte is the module's colour; the others describe what it belongs to.
            matrix.dark[static_cast<std::size_t>(y + QrMatrix::quietZone) * size + x + QrMatrix::quietZone] =
                code->data[y * code->width + x] & 1;
    return matrix;
}

}  // namespace vigilorb::desktop
