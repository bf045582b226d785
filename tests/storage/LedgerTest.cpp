// The ledger as start-up and the capture page use it: its CSV text, loading,
// reconciling with the card, recording folders and surviving a failed write.

#include <gtest/gtest.h>

#include "Log.h"
#include "StorageTestSupport.h"
#include "ledger.h"
#include "ledger_csv.h"

using namespace storage_test;

namespace {

const std::string kHeader = "dir_name,creat_date,size,type,status,succ_up_date\n";

std::vector<std::string> names_of(const std::vector<dir_info>& rows)
{
    std::vector<std::string> names;
    for (const auto& r : rows)
        names.push_back(r.dir_name);
    return names;
}

class Ledger : public ::testing::Test {
protected:
    bool open() { return manager.open(scratch.ledger(), scratch.card()); }

    ScratchDir scratch;
    const fs::path card = scratch.card();
    kavrel::log::LogCapture log;
    dataset_ledger manager;
};

} // namespace

TEST(LedgerCsv, EveryFieldSurvivesWriteAndRead)
{
    ledger_csv::table document;
    document.header = {"a", "b", "c"};
    document.rows = {
        {"with space", " both ends ", "a,b,c"},
        {"q\"uote", "\"starts", "ends\""},
        {"\"\"", "multi\nline\n", ""},
        {"cr\rinside", "tab\tx", "#not a comment"},
        {"中文/路径", "20240101-北京-场景/任务/3/20240101120000000", "\xEF\xBB\xBF"},
    };
    const std::string text = ledger_csv::format(document);
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find("\r\n"), std::string::npos);
    const ledger_csv::table back = ledger_csv::parse(text);
    EXPECT_EQ(back.header, document.header);
    EXPECT_EQ(back.rows, document.rows);
}

TEST(LedgerCsv, ReaderAcceptsWhatOtherToolsWrite)
{
    // A byte-order mark, CRLF, no final line feed; quotes inside a bare field; empty lines; a trailing comma.
    const std::pair<const char*, std::vector<std::vector<std::string>>> cases[] = {
        {"\xEF\xBB\xBF" "a,b\r\n1,2\r\n3,4", {{"1", "2"}, {"3", "4"}}},
        {"a,b\n x\"y ,\"q\"\"q\"\n", {{" x\"y ", "q\"q"}}},
        {"a,b\n\n1,\n", {{""}, {"1", ""}}},
        {"a,b\n1,", {{"1", ""}}},
    };
    for (const auto& [text, rows] : cases) {
        const ledger_csv::table document = ledger_csv::parse(text);
        EXPECT_EQ(document.header, (std::vector<std::string>{"a", "b"})) << text;
        EXPECT_EQ(document.rows, rows) << text;
    }
    EXPECT_TRUE(ledger_csv::parse("").header.empty());
}

TEST(LedgerRecords, MalformedLedgersFailWhole)
{
    auto message = [](const std::string& text) {
        try {
            parse_dir_records(text);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("loaded");
    };
    EXPECT_EQ(message(""), "column not found: dir_name");
    EXPECT_EQ(message("dir_name,creat_date,size,type,status\n"), "column not found: succ_up_date");
    // One bad row among good ones fails the whole load.
    const std::string good = "ok,1,2,采集,待上传,0\n";
    EXPECT_NE(message(kHeader + good + "short,1,2\n"), "loaded");
    EXPECT_NE(message(kHeader + good + "\"never closed,1\n"), "loaded") << "a cut-off quoted field";
    EXPECT_NE(message(kHeader + good + "\n"), "loaded") << "an empty line is a row that is too short";
    EXPECT_NE(message(kHeader + "big,99999999999999999999,2,采集,待上传,0\n"), "loaded");
    EXPECT_NE(message(kHeader + "empty,,2,采集,待上传,0\n"), "loaded");
}

TEST_F(Ledger, FreshSystemCreatesTheHeaderWithoutAnErrorThenRecordsFoldersButNoInvalidOnes)
{
    EXPECT_TRUE(open());
    EXPECT_EQ(readFile(scratch.ledger()), kHeader);
    EXPECT_FALSE(log.contains("Failed to load or parse CSV file")) << "a fresh start logs no ERROR";

    write_bytes(card / "北京-厕所" / "0" / "color" / "1.png", 100);
    write_bytes(card / "北京-厕所" / "0" / "depth" / "1.png", 23);
    EXPECT_EQ(manager.add_dir_record("北京-厕所/0", "采集"), 0);
    const std::string text = kHeader + "北京-厕所/0," + std::to_string(mtime_of(card / "北京-厕所" / "0")) +
        ",123,采集,待上传,0\n";
    EXPECT_EQ(readFile(scratch.ledger()), text);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 2) << "no temporary file is left";

    write_bytes(card / "plain-file", 1);
    write_bytes(fs::path(scratch.path()) / "outside" / "f", 1);
    EXPECT_NE(manager.add_dir_record("missing", "采集"), 0);
    EXPECT_TRUE(log.contains("Directory does not exist: " + scratch.card() + "/missing"));
    EXPECT_NE(manager.add_dir_record("plain-file", "采集"), 0);
    EXPECT_TRUE(log.contains("Path is not a directory: " + scratch.card() + "/plain-file"));
    EXPECT_NE(manager.add_dir_record("../outside", "采集"), 0) << "names never leave the storage root";
    EXPECT_NE(manager.add_dir_record("北京-厕所/../../outside", "采集"), 0);
    EXPECT_EQ(names_of(manager.records_snapshot()), std::vector<std::string>{"北京-厕所/0"});
    EXPECT_EQ(readFile(scratch.ledger()), text);
}

TEST_F(Ledger, OtherColumnOrderAndExtraColumnLoadAndAreNormalisedOnNextSave)
{
    fs::create_directories(card / "old");
    write_bytes(card / "new" / "f", 5);
    writeFile(scratch.ledger(),
        "\xEF\xBB\xBF" "size,note,dir_name,status,succ_up_date,type,creat_date\n7,\"x, y\",old,已完成,1700000500,采集,1700000000\n");
    EXPECT_TRUE(open());
    ASSERT_EQ(manager.records_snapshot().size(), 1u);
    manager.add_dir_record("new", "采集");
    EXPECT_EQ(readFile(scratch.ledger()), kHeader + "old,1700000000,7,采集,已完成,1700000500\nnew," +
        std::to_string(mtime_of(card / "new")) + ",5,采集,待上传,0\n");
}

TEST_F(Ledger, NonNumberFailsWholeLoadKeepsNothingAndSetsTheFileAside)
{
    fs::create_directories(card / "a");
    fs::create_directories(card / "b");
    const std::string bad = kHeader + "a,1,2,采集,待上传,0\nb,abc,2,采集,已完成,5\n";
    writeFile(scratch.ledger(), bad);
    EXPECT_FALSE(open());
    EXPECT_TRUE(log.contains("Failed to load or parse CSV file: "));
    EXPECT_TRUE(manager.records_snapshot().empty()) << "no partial ledger";

    // The next save replaces the file, but the unreadable text was kept aside.
    bool kept = false;
    for (const auto& entry : fs::directory_iterator(scratch.path())) {
        if (entry.path().filename().string().rfind("file_manager.csv.unreadable-", 0) == 0)
            kept = readFile(entry.path()) == bad;
    }
    EXPECT_TRUE(kept);
    manager.add_dir_record("a", "采集");
    EXPECT_EQ(names_of(parse_dir_records(readFile(scratch.ledger()))), std::vector<std::string>{"a"});
}

TEST_F(Ledger, ReconcileDropsRowsOfDeletedFoldersFlatAndNestedButNotWithoutTheCard)
{
    fs::create_directories(card / "keep-flat");
    fs::create_directories(card / "20240101-bj-s" / "task" / "3" / "20240101120000000");
    fs::create_directories(card / "unrecorded");
    write_bytes(card / "gone-file", 3);  // a file where a folder was: gone too
    writeFile(scratch.ledger(), kHeader +
        "keep-flat,1,0,采集,待上传,0\n"
        "gone-flat,2,0,采集,已完成,9\n"
        "20240101-bj-s/task/3/20240101120000000,3,0,采集,待上传,0\n"
        "20240101-bj-s/task/3/20240101130000000,4,0,采集,待上传,0\n"
        "gone-file,5,0,采集,待上传,0\n");
    EXPECT_TRUE(open());
    EXPECT_EQ(names_of(manager.records_snapshot()),
        (std::vector<std::string>{"keep-flat", "20240101-bj-s/task/3/20240101120000000"}));
    EXPECT_TRUE(log.contains("WARN ") &&
        log.contains("Directory gone-flat listed in CSV but not found on TF card. Removing from records."));
    EXPECT_EQ(log.count("listed in CSV but not found on TF card"), 3);

    // A start without the card mounted keeps every row and the file.
    const std::string missing_root = scratch.path() + "/no-card-here";
    dataset_ledger unmounted;
    EXPECT_TRUE(unmounted.open(scratch.ledger(), missing_root));
    EXPECT_TRUE(log.contains("opendir failed: " + missing_root));
    EXPECT_EQ(unmounted.records_snapshot().size(), 2u);
    EXPECT_EQ(readFile(scratch.ledger()),
        kHeader + "keep-flat,1,0,采集,待上传,0\n20240101-bj-s/task/3/20240101120000000,3,0,采集,待上传,0\n");
}

TEST_F(Ledger, RecordingTwiceRefreshesSizeAndTimeButKeepsUploadState)
{
    const fs::path folder = card / "s 1";
    write_bytes(folder / "a", 10);
    writeFile(scratch.ledger(), kHeader + "\"s 1\",1,10,采集,已完成,1700000123\n");
    open();

    write_bytes(folder / "sub" / "b", 32);
    fs::last_write_time(folder, fs::last_write_time(folder) + std::chrono::hours(1));
    manager.add_dir_record("s 1", "其他");
    EXPECT_EQ(readFile(scratch.ledger()),
        kHeader + "\"s 1\"," + std::to_string(mtime_of(folder)) + ",42,采集,已完成,1700000123\n");
}

TEST_F(Ledger, UncreatableOrFailedWriteIsLoggedAndNothingIsLost)
{
    const std::string uncreatable = scratch.path() + "/no/such/dir/file_manager.csv";
    EXPECT_FALSE(manager.open(uncreatable, scratch.card()));
    EXPECT_TRUE(log.contains("Failed to create new CSV file: " + uncreatable));
    EXPECT_FALSE(manager.open("", scratch.card()));

    const fs::path folder = fs::path(scratch.path()) / "ledger-dir";
    fs::create_directories(folder);
    const std::string csv = (folder / "file_manager.csv").string();
    write_bytes(card / "a" / "f", 1);
    write_bytes(card / "b" / "f", 1);
    manager.open(csv, scratch.card());

    fs::remove_all(folder);  // the ledger's folder went away (card pulled, disk full...)
    EXPECT_NE(manager.add_dir_record("a", "采集"), 0);
    EXPECT_TRUE(log.contains("Failed to write CSV file: " + csv));
    EXPECT_EQ(names_of(manager.records_snapshot()), std::vector<std::string>{"a"}) << "the row stays in memory";

    fs::create_directories(folder);
    EXPECT_EQ(manager.add_dir_record("b", "采集"), 0);
    EXPECT_EQ(names_of(parse_dir_records(readFile(csv))), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Ledger, DirSizeCountsRegularFilesBelowTheFolderFollowingLinks)
{
    const fs::path root = card / "d";
    write_bytes(root / "a", 100);
    write_bytes(root / "x" / "y" / "b", 20);
    write_bytes(fs::path(scratch.path()) / "elsewhere", 7);
    fs::create_symlink(fs::path(scratch.path()) / "elsewhere", root / "link");
    fs::create_symlink(fs::path(scratch.path()) / "dangling", root / "broken");
    EXPECT_EQ(get_dir_size(root.string()), 127u);
    EXPECT_TRUE(log.contains("Error accessing file: " + (root / "broken").string()));

    EXPECT_EQ(get_dir_size((root / "nope").string()), 0u);
    EXPECT_EQ(get_dir_size((root / "a").string()), 0u);
}

TEST_F(Ledger, StartUpAddsUnrecordedSessionsAsPendingAndRefreshesGrownRows)
{
    // A run cut by a power loss: images written, no row, no meta.yaml yet.
    write_bytes(card / "20240101-a-b" / "urinal" / "0" / "120000" / "cam" / "color" / "1.png", 40);
    write_bytes(card / "20240101-a-b" / "outside" / "130000" / "meta.yaml", 5);
    write_bytes(card / "20240101-a-b" / "outside" / "140000" / "meta.yaml", 7);
    write_bytes(card / "not-a-session" / "notes.txt", 3);
    writeFile(scratch.ledger(), kHeader + "20240101-a-b/outside/140000,1,2,采集,已完成,99\n");

    EXPECT_TRUE(open());
    const auto rows = manager.records_snapshot();
    EXPECT_EQ(names_of(rows), (std::vector<std::string>{"20240101-a-b/outside/140000",
                                  "20240101-a-b/outside/130000", "20240101-a-b/urinal/0/120000"}));
    EXPECT_EQ(rows[0].size, 7) << "the grown folder's size is refreshed";
    EXPECT_EQ(rows[0].status, "已完成");
    EXPECT_EQ(rows[2].status, "待上传");
    EXPECT_EQ(log.count("Session folder without a ledger row added as pending: "), 2);
    EXPECT_EQ(parse_dir_records(readFile(scratch.ledger())), rows);

    EXPECT_TRUE(manager.remove_record("20240101-a-b/outside/130000"));
    EXPECT_FALSE(manager.remove_record("20240101-a-b/outside/130000"));
    EXPECT_EQ(parse_dir_records(readFile(scratch.ledger())).size(), 2u);
}
