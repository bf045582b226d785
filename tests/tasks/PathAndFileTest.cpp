#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "FileSizeLimit.h"
#include "SaveFiles.h"
#include "SessionPath.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using kavrel::test::FileSizeLimit;
using kavrel::test::readFile;

namespace {

bool isSafeComponent(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > PathBuilder::maxComponentBytes)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\')
            return false;
    return name.front() != '.' && name.back() != '.' && name.back() != ' ';
}

} // namespace

// The operator paths test sees the whole path with a part number.
TEST(PathBuilder, AnEmptyPartNumberLeavesItsLevelOutAndTimesAndRootFallBack)
{
    CollectionInfo info;
    info.date = "20250612";
    EXPECT_EQ(PathBuilder::buildSessionPath("/card", info, "c1", "s1", "t1", "", "20250612_143015").full_path,
        "/card/20250612-c1-s1/t1/20250612_143015");
    EXPECT_EQ(PathBuilder::buildSessionPath(".", info, "北京", "厨房", "抓取", "0", "20250612_143015").full_path,
        "./20250612-北京-厨房/抓取/0/20250612_143015");

    const SessionPath path = PathBuilder::buildSessionPath("", CollectionInfo{}, "c", "s", "t", "", "");
    EXPECT_EQ(path.folder_1, localTimeText("%Y%m%d") + "-c-s");
    EXPECT_TRUE(std::regex_match(path.folder_4, std::regex(R"(\d{8}_\d{6})"))) << path.folder_4;
    EXPECT_EQ(path.full_path.rfind("./", 0), 0u) << "an empty root must not turn into the file system root: "
                                                 << path.full_path;
}

TEST(PathComponent, HostileNamesStayOneComponentUnderTheRoot)
{
    const std::vector<std::string> hostile = {"..", ".", "../..", "../../etc", "/", "/etc/passwd", "a/../../b",
        "\\..\\..", "", "   ", "...", ".hidden", "line\nbreak", std::string("nul\0byte", 8), "\x01\x02", "tab\t",
        "trailing. ", "a:b*c?d\"e<f>g|h", "\xff\xfe", "\xe5\x8c", std::string(500, 'x'), "del\x7f"};
    for (const auto& name : hostile) {
        const std::string safe = safePathComponent(name);
        EXPECT_TRUE(isSafeComponent(safe)) << "'" << name << "' -> '" << safe << "'";
        EXPECT_EQ(safePathComponent(safe), safe) << "the rule is idempotent for '" << name << "'";
    }
    EXPECT_EQ(safePathComponent(".."), "unknown");
    EXPECT_EQ(safePathComponent("", "fallback"), "fallback");
    EXPECT_EQ(safePathComponent("a:b*c?"), "a_b_c_") << "characters FAT refuses are replaced";
    EXPECT_EQ(safePathComponent("a\xff" "b"), "a_b") << "bytes that are not UTF-8 are replaced";

    // Long names are cut on a character boundary.
    std::string longChinese;
    for (int i = 0; i < 100; ++i)
        longChinese += "数";
    const std::string cut = safePathComponent(longChinese);
    EXPECT_LE(cut.size(), PathBuilder::maxComponentBytes);
    EXPECT_EQ(cut.size() % 3, 0u) << "no character cut in half";
}

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
