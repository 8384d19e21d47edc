#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "desktop/qr_matrix.hpp"
#include "qr_decode.hpp"
#include "temp_dir.hpp"

using namespace vigilorb::desktop;
namespace fs = std::filesystem;

namespace {

// The matrix as a plain PBM image, `scale` pixels per module, for a real decoder to read.
void writePbm(const fs::path& file, const QrMatrix& m, int scale) {
    std::ofstream out(file);
    int px = m.size() * scale;
    out << "P1\n" << px << " " << px << "\n";
    for (int y = 0; y < px; ++y) {
        for (int x = 0; x < px; ++x) out << (m.isDark(x / scale, y / scale) ? "1 " : "0 ");
        out << "\n";
    }
}

TEST(QrMatrix, DecodesBackToTheBytesAtTheVersionLevelMNeeds) {
    // Byte-mode capacities at level M: version 1 holds 14 bytes, version 2 holds 26.
    struct Case {
        std::string payload;
        int symbolSize;
    } cases[] = {
        {"x", 21},
        {std::string(14, 'a'), 21},
        {std::string(15, 'a'), 25},
        {R"({"companionID":"mac-0f6d","expiresAt":800000120,"secret":"c2VjcmV0+/=="})", 37},
        {"caf\xC3\xA9 \xE2\x9C\x93 unicode", 25},
    };
    vigilorb::test::TempDir dir;
    for (const auto& c : cases) {
        auto matrix = encodeQr(c.payload);
        ASSERT_TRUE(matrix) << c.payload;
        EXPECT_EQ(matrix->symbolSize, c.symbolSize) << c.payload;
        EXPECT_EQ(matrix->size(), c.symbolSize + 8);
        EXPECT_EQ(matrix->dark.size(), static_cast<std::size_t>(matrix->size() * matrix->size()));
        // Quiet zone light all round; the finder pattern's corner module dark.
        for (int i = 0; i < matrix->size(); ++i) {
            for (int q = 0; q < QrMatrix::quietZone; ++q) {
                EXPECT_FALSE(matrix->isDark(i, q));
                EXPECT_FALSE(matrix->isDark(q, i));
                EXPECT_FALSE(matrix->isDark(i, matrix->size() - 1 - q));
                EXPECT_FALSE(matrix->isDark(matrix->size() - 1 - q, i));
            }
        }
        EXPECT_TRUE(matrix->isDark(QrMatrix::quietZone, QrMatrix::quietZone));
        auto image = dir / "code.pbm";
        writePbm(image, *matrix, 4);
        EXPECT_EQ(vigilorb::test::zbarDecode(image), c.payload);
    }
}

TEST(QrMatrix, RefusesWhatNoSymbolHolds) {
    EXPECT_EQ(encodeQr("").error(), QrError::empty);
    // Version 40 at level M holds 2,331 bytes.
    EXPECT_TRUE(encodeQr(std::string(2331, 'z')));
    EXPECT_EQ(encodeQr(std::string(2332, 'z')).error(), QrError::tooLong);
}

}  // namespace
