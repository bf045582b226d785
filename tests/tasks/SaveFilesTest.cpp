#include <filesystem>

#include <gtest/gtest.h>

#include "FileSizeLimit.h"
#include "SaveFiles.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using kavrel::test::FileSizeLimit;
using kavrel::test::readFile;

TEST(SaveFiles, WholeFilesAppearOnlyCompleteAndAFailedWriteKeepsTheOldOne)
{
    QTemporaryDir dir;
    const std::string file = dir.path().toStdString() + "/a.png";
    const std::string bytes(100000, '\x7f');
    ASSERT_TRUE(save_files::writeFileReplacing(file, bytes.data(), bytes.size(), true));
    EXPECT_EQ(readFile(file), bytes);
    {
        FileSizeLimit full(50000);
        EXPECT_TRUE(save_files::writeFileReplacing(file, "new", 3, false)) << "small files still fit";
        const auto big = save_files::writeFileReplacing(file, bytes.data(), bytes.size(), false);
        EXPECT_EQ(big.status, save_files::WriteStatus::WriteFailed);
        EXPECT_NE(big.error, 0);
    }
    EXPECT_EQ(readFile(file), "new") << "nothing half-written under the file's name";
    EXPECT_FALSE(fs::exists(file + ".part")) << "the partial file is removed";

    const auto missing = save_files::writeFileReplacing(dir.path().toStdString() + "/no/such/c.png", "x", 1, false);
    EXPECT_EQ(missing.status, save_files::WriteStatus::OpenFailed);
}

TEST(SaveFiles, AppendFileNeverEndsInHalfALine)
{
    QTemporaryDir dir;
    const std::string file = dir.path().toStdString() + "/data.json";
    save_files::AppendFile out;
    ASSERT_TRUE(out.open(file));
    out.appendLine("first");
    EXPECT_EQ(readFile(file), "") << "lines wait in memory until flushed";
    ASSERT_TRUE(out.flush());
    EXPECT_EQ(readFile(file), "first\n");

    {
        FileSizeLimit full(4096);
        for (int i = 0; i < 1000; ++i)
            out.appendLine("0123456789");
        EXPECT_FALSE(out.flush());
        EXPECT_EQ(out.droppedLines(), 1000u);
    }
    EXPECT_EQ(readFile(file), "first\n") << "a failed batch is rolled back to the last complete line";

    out.appendLine("second");
    ASSERT_TRUE(out.sync()) << "writing goes on once space is back";
    ASSERT_TRUE(out.close());
    EXPECT_EQ(readFile(file), "first\nsecond\n");
    EXPECT_FALSE(out.open(dir.path().toStdString() + "/missing/data.json"));
}
