// Hostile images in a process started the way the terminal starts: main()
// first lowers OpenCV's pixel limit (a new start of the program, before the
// library loads), then images whose headers claim huge sizes go through the
// records page's thumbnail path.

#include <filesystem>
#include <string>

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ImageHeader.h"
#include "SessionRecords.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using kavrel::test::writeFile;

namespace {

std::string bigEndian(uint32_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

uint32_t crc32Of(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Only a header (with its checksum, so a decoder believes it): the pixels it
// would allocate for are claimed, not there.
std::string pngClaiming(uint32_t width, uint32_t height)
{
    const std::string chunk = "IHDR" + bigEndian(width, 4) + bigEndian(height, 4) + std::string("\x08\x02\0\0\0", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + bigEndian(13, 4) + chunk + bigEndian(crc32Of(chunk), 4)
        + bigEndian(0, 4) + "IDAT" + bigEndian(crc32Of("IDAT"), 4);
}

std::string jpegClaiming(uint32_t width, uint32_t height)
{
    return std::string("\xFF\xD8\xFF\xC0", 4) + bigEndian(17, 2) + '\x08' + bigEndian(height, 2) + bigEndian(width, 2)
        + std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10) + std::string(40, '\0');
}

} // namespace

TEST(DecoderLimit, OpenCvItselfRefusesWhatItsDefaultLimitWouldAllocate)
{
    // 9000x9000 is under OpenCV's default (2^30 pixels) and over ours: only a
    // limit in place before the library loaded refuses it before allocating.
    std::string png = pngClaiming(9000, 9000);
    const cv::Mat bytes(1, static_cast<int>(png.size()), CV_8UC1, png.data());
    EXPECT_THROW(cv::imdecode(bytes, cv::IMREAD_COLOR), cv::Exception);
}

TEST(DecoderLimit, HugeClaimsInASessionShowAPlaceholderThumbnail)
{
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"PNG claiming 100000x100000", pngClaiming(100000, 100000)},
        {"PNG claiming 9000x9000", pngClaiming(9000, 9000)},
        {"JPEG claiming 65000x65000", jpegClaiming(65000, 65000)},
        {"PNG claiming 0x0", pngClaiming(0, 0)},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QImage placeholder = placeholderThumbnail(kThumbnailWidth);
    for (const auto& c : cases) {
        const fs::path session = fs::path(dir.path().toStdString()) / std::to_string(&c - cases) / "20250612_143000";
        fs::create_directories(session / "gemini2" / "color");
        const fs::path image = session / "gemini2" / "color" / "20250612143000000.png";
        writeFile(image, c.bytes);

        EXPECT_TRUE(thumbnailOf(image.string(), kThumbnailWidth).isNull()) << c.what;
        const SessionDetails details = loadSessionDetails(QString::fromStdString(session.string()));
        EXPECT_EQ(details.frameSets, 1) << c.what;
        EXPECT_EQ(details.thumbnail, placeholder) << c.what;
    }
}

int main(int argc, char** argv)
{
    // As kavrel's main() begins.
    image_header::lowerDecoderPixelLimit(argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
