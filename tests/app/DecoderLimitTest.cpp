// Hostile images in a process whose main() lowers OpenCV's pixel limit as the terminal's does.

#include <filesystem>
#include <string>

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "ClaimedImages.h"
#include "ImageHeader.h"
#include "SessionRecords.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using kavrel::test::jpegClaiming;
using kavrel::test::pngClaiming;
using kavrel::test::writeFile;

TEST(DecoderLimit, OpenCvItselfRefusesWhatItsDefaultLimitWouldAllocate)
{
#ifdef KAVREL_UNDER_EMULATION
    // The limit takes a new start of the program, which fails under qemu-user without binfmt.
    GTEST_SKIP() << "the program cannot start itself again under qemu-user emulation";
#endif
    // Under OpenCV's default limit (2^30 pixels) and over ours.
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
