// The ledger, the records page and the checker find the same session folders
// on a card: one that any of them missed would be left off the upload list,
// the records page or the check.

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "SessionCheck.h"
#include "SessionFolder.h"
#include "SessionRecords.h"
#include "ledger.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

std::vector<std::string> relativeTo(const std::string& root, std::vector<std::string> paths)
{
    for (auto& path : paths)
        path = fs::path(path).lexically_relative(root).generic_string();
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

TEST(SessionFolders, LedgerRecordsPageAndCheckerFindTheSameSessions)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const std::string root = scratch.path().toStdString() + "/card";
    const fs::path card(root);
    const fs::path task = card / "20250612-城市-场景" / "任务";

    touch(task / "0" / "20250612_100000" / "meta.yaml");              // finished
    touch(task / "20250612_110000_1" / "D1" / "color" / "a.png");       // second in the same second, cut short
    touch(task / "0" / "120000" / "D1" / "depth" / "a.png");            // power cut: images, nothing else
    touch(task / "0" / "130000" / "data.json");                         // power cut after the IMU file
    fs::create_directories(task / "20250612_140000");                   // made, nothing written yet
    touch(task / "0" / "150000" / "manifest.json");
    touch(task / "0" / "160000" / "meta.yaml" / "oops");                 // a folder named meta.yaml is no file
    fs::create_directories(task / "0" / "170000" / "D1" / "notes");
    touch(card / "notes" / "readme.txt");
    touch(card / "lost+found" / "x");
    // A link to a session elsewhere is never followed.
    touch(scratch.path().toStdString() + "/elsewhere/20250612_180000/meta.yaml");
    fs::create_directory_symlink(scratch.path().toStdString() + "/elsewhere", task / "linked");

    const std::vector<std::string> expected = {
        "20250612-城市-场景/任务/0/120000",
        "20250612-城市-场景/任务/0/130000",
        "20250612-城市-场景/任务/0/150000",
        "20250612-城市-场景/任务/0/20250612_100000",
        "20250612-城市-场景/任务/20250612_110000_1",
        "20250612-城市-场景/任务/20250612_140000",
    };

    dataset_ledger ledger;
    ASSERT_TRUE(ledger.open(scratch.path().toStdString() + "/ledger.csv", root));
    std::vector<std::string> ledgerRows;
    for (const auto& row : ledger.records_snapshot())
        ledgerRows.push_back(row.dir_name);
    std::sort(ledgerRows.begin(), ledgerRows.end());
    EXPECT_EQ(ledgerRows, expected) << "ledger";

    std::vector<std::string> recordsPage;
    for (const QString& path : scanSessions(QString::fromStdString(root)))
        recordsPage.push_back(path.toStdString());
    EXPECT_EQ(relativeTo(root, recordsPage), expected) << "records page";

    EXPECT_EQ(relativeTo(root, session_check::findSessions({root})), expected) << "checker";

    // A session named on its own is itself, not what lies below it.
    const std::string one = (task / "0" / "20250612_100000").string();
    EXPECT_EQ(session_check::findSessions({one}), std::vector<std::string>{one});
    EXPECT_TRUE(session_folder::isSession(one));
    EXPECT_FALSE(session_folder::isSession((card / "notes").string()));
}

TEST(SessionFolders, SessionTimeNames)
{
    for (const char* name : {"20250612_143015", "20250612_143015_2", "00000000_000000_"})
        EXPECT_TRUE(session_folder::looksLikeSessionTime(name)) << name;
    for (const char* name : {"", "20250612-143015", "2025061_1430150", "20250612_14301", "20250612_143015x",
             "2025O612_143015", "20250612_143015.tmp"})
        EXPECT_FALSE(session_folder::looksLikeSessionTime(name)) << name;
}
