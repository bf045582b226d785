// The upload worker: keys, progress reports, retries, completion in the
// ledger and cancellation when the terminal stops.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "Log.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"
#include "file_manager.h"

using namespace storage_test;
using namespace std::chrono_literals;

namespace {

// Collects the reports of one request; they arrive on a worker thread.
class Reports {
public:
    std::function<void(upload_info)> receiver()
    {
        return [this](upload_info info) {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back(std::move(info));
            cv_.notify_all();
        };
    }
    // Waits until a report with the final flag or an incomplete final report
    // arrived: the worker sends exactly one report after the last session.
    bool wait_for(std::size_t count, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return reports_.size() >= count; });
    }
    std::vector<upload_info> all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<upload_info> reports_;
};

struct transfer_call {
    std::string local_path;
    std::string bucket;
    std::string key;
    std::size_t expected_size;
};

// Wraps the shipped local check: records every call and can disturb files
// just before the check sees them.
class ScriptedTransfer : public upload_transfer {
public:
    std::function<void(const std::string& local_path)> before;
    std::chrono::milliseconds delay{0};

    bool put_object(const std::string& local_path, const std::string& bucket, const std::string& key,
        std::size_t expected_size) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back({local_path, bucket, key, expected_size});
        }
        if (before)
            before(local_path);
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        return check_.put_object(local_path, bucket, key, expected_size);
    }
    std::vector<transfer_call> calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<transfer_call> calls_;
    local_file_check check_;
};

class Upload : public ::testing::Test {
protected:
    void SetUp() override
    {
        transfer = std::make_shared<ScriptedTransfer>();
        manager.uploads().set_transfer(transfer);
    }
    void start(const std::string& ledger_text = "")
    {
        if (!ledger_text.empty())
            write_text(scratch.ledger(), ledger_text);
        manager.init(scratch.ledger(), scratch.card());
    }
    fs::path card() const { return scratch.card(); }
    void submit(const std::string& dataset, Reports& reports)
    {
        ASSERT_TRUE(manager.uploads().submit_upload({reports.receiver(), dataset}));
    }

    ScratchDir scratch;
    kavrel::log::LogCapture log;
    std::shared_ptr<ScriptedTransfer> transfer;
    file_manager manager;  // declared last: stopped and joined before the rest goes
};

} // namespace

TEST_F(Upload, KeysFollowPrefixDatasetSessionAndRelativePath)
{
    write_bytes(card() / "ds1" / "urinal" / "a.png", 10);
    write_bytes(card() / "ds1" / "urinal" / "depth" / "b.png", 20);
    write_bytes(card() / "ds1" / "foo" / "c.json", 30);
    start();
    Reports reports;
    submit("ds1", reports);
    ASSERT_TRUE(reports.wait_for(3));  // one final report per session, then the dataset's

    std::set<std::string> keys;
    for (const auto& call : transfer->calls()) {
        keys.insert(call.key);
        EXPECT_EQ(call.bucket, "default-bucket");
        EXPECT_EQ(call.expected_size, fs::file_size(call.local_path));
    }
    EXPECT_EQ(keys, (std::set<std::string>{"rosbags/fullscene/ds1/urinal/a.png",
                        "rosbags/fullscene/ds1/urinal/depth/b.png", "rosbags/gejian/ds1/foo/c.json"}));
    const auto last = reports.all().back();
    EXPECT_TRUE(last.finished);
    EXPECT_EQ(last.uploaded_bytes, 60u);
    EXPECT_TRUE(log.contains("Starting upload for dataset: ds1"));
    EXPECT_TRUE(log.contains("Remote path: rosbags/fullscene/ds1/urinal"));
}

TEST_F(Upload, TwelveFilesReportAfterFifthAndTenthThenFinalAndCompleteTheRow)
{
    for (int i = 0; i < 12; ++i)
        write_bytes(card() / "ds" / "urinal" / ("f" + std::to_string(i)), 10);
    fs::create_directories(card() / "other");
    start("dir_name,creat_date,size,type,status,succ_up_date\nother,1,0,采集,待上传,0\nds,1,120,采集,待上传,0\n");
    const auto before = std::time(nullptr);
    Reports reports;
    submit("ds", reports);
    ASSERT_TRUE(reports.wait_for(4));
    std::this_thread::sleep_for(50ms);

    const auto all = reports.all();
    ASSERT_EQ(all.size(), 4u);
    const uint64_t expected_bytes[] = {50, 100, 120, 120};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(all[i].uploaded_bytes, expected_bytes[i]) << i;
        EXPECT_EQ(all[i].total_bytes, 120u);
        EXPECT_TRUE(all[i].failed_files.empty());
        EXPECT_EQ(all[i].finished, i == 3) << "session reports are relayed unfinished";
    }
    EXPECT_FLOAT_EQ(all[0].progress, 50.0f * 100 / 120);
    EXPECT_FLOAT_EQ(all[3].progress, 100.0f);

    const auto rows = manager.ledger().records_snapshot();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].status, "待上传") << "only the dataset's row changes";
    EXPECT_EQ(rows[1].status, "已完成");
    EXPECT_GE(rows[1].succ_up_date, before);
    EXPECT_LE(rows[1].succ_up_date, std::time(nullptr));
    EXPECT_EQ(parse_dir_records(read_text(scratch.ledger())), rows) << "completion is saved";
}

TEST_F(Upload, UnreadableFileIsTriedThreeTimesListedOnceAndDatasetStaysWaiting)
{
    for (int i = 0; i < 4; ++i)
        write_bytes(card() / "ds" / "s" / ("f" + std::to_string(i)), 10);
    const std::string bad = (card() / "ds" / "s" / "f2").string();
    // Gone after the listing: every attempt fails to open it.
    transfer->before = [bad](const std::string&) { std::remove(bad.c_str()); };
    start("dir_name,creat_date,size,type,status,succ_up_date\nds,1,40,采集,待上传,0\n");
    Reports reports;
    submit("ds", reports);
    ASSERT_TRUE(reports.wait_for(2));

    const auto calls = transfer->calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.local_path == bad; }), 3);
    EXPECT_EQ(log.count("upload_file: failed to open file: " + bad), 3);
    EXPECT_EQ(log.count("文件上传失败: " + bad + ", 重试中..."), 3);
    EXPECT_EQ(log.count("达到最大重试次数，跳过该文件。"), 1);
    EXPECT_TRUE(log.contains("Upload failed for session: "));

    const auto last = reports.all().back();
    EXPECT_FALSE(last.finished);
    EXPECT_EQ(last.uploaded_bytes, 30u);
    EXPECT_EQ(last.failed_files, std::vector<std::string>{bad});
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "待上传");
    EXPECT_EQ(manager.ledger().records_snapshot()[0].succ_up_date, 0);
}

TEST_F(Upload, FileThatChangedSizeCountsWithAWarning)
{
    write_bytes(card() / "ds" / "s" / "grows", 10);
    const std::string path = (card() / "ds" / "s" / "grows").string();
    transfer->before = [path](const std::string&) { write_bytes(path, 15); };
    start();
    Reports reports;
    submit("ds", reports);
    ASSERT_TRUE(reports.wait_for(2));
    EXPECT_TRUE(reports.all().back().finished);
    EXPECT_TRUE(log.contains("upload_file: file size mismatch for " + path + ", expected: 10, actual: 15"));
}

TEST_F(Upload, DatasetsThatCannotCompleteEndIncomplete)
{
    // A session without files fails; loose files in the dataset folder are
    // counted but never uploaded.
    write_bytes(card() / "ds" / "good" / "f", 10);
    fs::create_directories(card() / "ds" / "empty" / "sub");
    write_bytes(card() / "loose" / "s" / "f", 10);
    write_bytes(card() / "loose" / "readme.txt", 5);
    start();
    Reports first;
    Reports second;
    submit("ds", first);
    submit("loose", second);
    ASSERT_TRUE(first.wait_for(2));
    ASSERT_TRUE(second.wait_for(2));
    EXPECT_FALSE(first.all().back().finished);
    EXPECT_EQ(first.all().back().uploaded_bytes, 10u);
    EXPECT_TRUE(log.contains("Upload failed for session: " + (card() / "ds" / "empty").string()));
    EXPECT_FALSE(second.all().back().finished);
    EXPECT_EQ(second.all().back().uploaded_bytes, 10u);
    EXPECT_EQ(second.all().back().total_bytes, 15u);
    EXPECT_FLOAT_EQ(second.all().back().progress, 1000.0f / 15);
}

TEST_F(Upload, MissingEmptyOrEscapingDatasetOnlyWarns)
{
    fs::create_directories(card() / "empty" / "s");
    write_bytes(fs::path(scratch.path()) / "outside" / "s" / "f", 10);
    start();
    Reports reports;
    submit("nope", reports);
    submit("empty", reports);
    submit("../outside", reports);
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return log.contains("Dataset is empty: ") && log.contains("nope") &&
        log.contains("leaves the storage root: ../outside"); }));
    EXPECT_TRUE(log.contains("Dataset directory not found or invalid: " + scratch.card() + "/nope"));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(reports.all().empty());
    EXPECT_TRUE(transfer->calls().empty());
    EXPECT_FALSE(manager.uploads().submit_upload({nullptr, "empty"})) << "a request needs a receiver";
}

TEST_F(Upload, StopCancelsTheUploadInProgressAndJoinsBothWorkers)
{
    for (int i = 0; i < 400; ++i)
        write_bytes(card() / "big" / "s" / ("f" + std::to_string(i)), 1);
    transfer->delay = 5ms;
    start("dir_name,creat_date,size,type,status,succ_up_date\nbig,1,400,采集,待上传,0\n");
    Reports reports;
    submit("big", reports);
    ASSERT_TRUE(reports.wait_for(1));  // the fifth file went through

    const auto stop_began = std::chrono::steady_clock::now();
    manager.uploads().stop();
    const auto stop_took = std::chrono::steady_clock::now() - stop_began;
    EXPECT_LT(stop_took, 3s) << "the worker leaves after the file in progress, not after the dataset";
    EXPECT_FALSE(manager.uploads().is_running());

    const auto calls_after_stop = transfer->calls().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(transfer->calls().size(), calls_after_stop) << "no transfer after stop returned";
    EXPECT_LT(calls_after_stop, 400u);
    EXPECT_TRUE(log.contains("Upload cancelled for session: "));
    EXPECT_TRUE(log.contains("file_manager stop called"));

    const auto last = reports.all().back();
    EXPECT_FALSE(last.finished);
    EXPECT_LT(last.uploaded_bytes, 400u);
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "待上传");
    EXPECT_FALSE(manager.uploads().submit_upload({reports.receiver(), "big"})) << "nothing is queued after stop";
}

TEST_F(Upload, TwoWorkersCompleteDatasetsWhileTheGuiRecordsFolders)
{
    std::string ledger = "dir_name,creat_date,size,type,status,succ_up_date\n";
    for (int d = 0; d < 4; ++d) {
        const std::string name = "ds" + std::to_string(d);
        for (int i = 0; i < 6; ++i)
            write_bytes(card() / name / ("s" + std::to_string(i % 2)) / ("f" + std::to_string(i)), 3);
        ledger += name + ",1,18,采集,待上传,0\n";
    }
    start(ledger);
    std::vector<std::unique_ptr<Reports>> reports;
    for (int d = 0; d < 4; ++d) {
        reports.push_back(std::make_unique<Reports>());
        submit("ds" + std::to_string(d), *reports.back());
    }
    // Meanwhile the capture page records new sessions.
    for (int i = 0; i < 20; ++i) {
        const std::string name = "new" + std::to_string(i);
        write_bytes(card() / name / "f", 1);
        EXPECT_EQ(manager.add_dir_record(name, "采集"), 0);
    }
    for (auto& r : reports) {
        ASSERT_TRUE(kavrel::test::waitUntil([&] {
            auto all = r->all();
            return !all.empty() && all.back().finished;
        }));
    }
    manager.uploads().stop();

    const auto rows = parse_dir_records(read_text(scratch.ledger()));
    ASSERT_EQ(rows.size(), 24u);
    for (int d = 0; d < 4; ++d)
        EXPECT_EQ(rows[d].status, "已完成") << rows[d].dir_name;
    for (int i = 4; i < 24; ++i)
        EXPECT_EQ(rows[i].status, "待上传");
    EXPECT_EQ(rows, manager.ledger().records_snapshot());
}
