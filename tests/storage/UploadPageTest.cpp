// The upload page driven as an operator would, against the test S3 server.

#include <mutex>
#include <utility>

#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "Log.h"
#include "S3TestServer.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"
#include "UploadWidget.h"
#include "file_manager.h"
#include "s3_client.h"

using namespace storage_test;

namespace {

// The gateway's client, but a manifest can be refused; notes the keys it sent.
class manifest_refusing_store : public object_store_client {
public:
    explicit manifest_refusing_store(s3_settings settings) : store_(std::move(settings)) {}
    put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object* listed,
        const std::atomic<bool>& cancel) override
    {
        return note(key, store_.send_file(file, key, listed, cancel));
    }
    put_outcome put_bytes(const std::string& key, const std::string& body, const std::atomic<bool>& cancel) override
    {
        if (refuse_manifest && key.size() > 15 && key.compare(key.size() - 15, 15, "/_manifest.json") == 0) {
            put_outcome refused;
            refused.failure = upload_failure::rejected;
            refused.detail = "the test refuses the manifest";
            return refused;
        }
        return note(key, store_.put_bytes(key, body, cancel));
    }
    list_outcome list_objects(const std::string& prefix, const std::atomic<bool>& cancel) override
    {
        return store_.list_objects(prefix, cancel);
    }
    std::vector<std::string> sent()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(sent_, {});
    }
    std::atomic<bool> refuse_manifest{true};

private:
    put_outcome note(const std::string& key, put_outcome outcome)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome.ok() && !outcome.skipped)
            sent_.push_back(key);
        return outcome;
    }
    s3_client store_;
    std::mutex mutex_;
    std::vector<std::string> sent_;
};

class UploadPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_bytes(fs::path(scratch.card()) / "pending" / "outside" / "1200" / "meta.yaml", 300);
        write_bytes(fs::path(scratch.card()) / "done" / "outside" / "1200" / "meta.yaml", 10);
        writeFile(scratch.ledger(), "dir_name,creat_date,size,type,status,succ_up_date\n"
                                    "pending/outside/1200,1,300,采集,待上传,0\n"
                                    "done/outside/1200,1,10,采集,已完成,5\n");
        manager.init(scratch.ledger(), scratch.card());
    }
    // The reason the server cannot be used, or "" once the uploads go to it.
    std::string useServer(const std::string& secret = "")
    {
        server_env env = read_server_env();
        if (!secret.empty())
            env.settings.secret_access_key = secret;
        if (env.skip_reason.empty())
            manager.uploads().set_client(std::make_shared<s3_client>(env.settings), 2);
        return env.skip_reason;
    }
    template <typename T>
    T* find(const char* name) { return page->findChild<T*>(name); }
    void startAll()
    {
        find<QPushButton>("Btn_SelectAll")->click();
        find<QPushButton>("Btn_StartUpload")->click();
    }

    ScratchDir scratch;
    kavrel::log::LogCapture log;
    file_manager manager;
    std::unique_ptr<UploadWidget> page;
};

} // namespace

TEST_F(UploadPage, WithoutAnEndpointSaysUploadsAreOff)
{
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    EXPECT_TRUE(find<QLabel>("label_UploadState")->text().contains("未配置上传服务器"));
    EXPECT_FALSE(find<QPushButton>("Btn_StartUpload")->isEnabled());
    EXPECT_EQ(page->statusText("pending/outside/1200"), "待上传");
    EXPECT_EQ(page->statusText("done/outside/1200"), "已完成");
}

TEST_F(UploadPage, SelectAllAndStartCompletesThePendingRowsOnly)
{
    if (const std::string reason = useServer(); !reason.empty())
        GTEST_SKIP() << reason;
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    page->setRecording(true);
    EXPECT_TRUE(find<QLabel>("label_UploadState")->text().contains("暂停"));
    page->setRecording(false);
    startAll();
    EXPECT_EQ(page->statusText("pending/outside/1200"), "上传中");
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return page->statusText("pending/outside/1200") == "已完成"; }, 60000));
    const auto rows = manager.ledger().records_snapshot();
    EXPECT_EQ(rows[0].status, "已完成");
    EXPECT_EQ(rows[1].succ_up_date, 5) << "a completed row is not sent again";
    EXPECT_TRUE(find<QPushButton>("Btn_StartUpload")->isEnabled());
}

TEST_F(UploadPage, FailureShowsTheReasonAndLeavesTheRowPending)
{
    if (const std::string reason = useServer("not-the-secret"); !reason.empty())
        GTEST_SKIP() << reason;
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    startAll();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return page->statusText("pending/outside/1200") != "上传中"; }, 60000));
    EXPECT_EQ(page->statusText("pending/outside/1200"), "上传失败：认证失败");
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "待上传");
}

TEST_F(UploadPage, RefusedManifestLeavesTheRowPendingAndTheNextRunSendsOnlyTheManifest)
{
    const server_env env = read_server_env();
    if (!env.skip_reason.empty())
        GTEST_SKIP() << env.skip_reason;
    const auto store = std::make_shared<manifest_refusing_store>(env.settings);
    manager.uploads().set_client(store, 2);
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    startAll();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return page->statusText("pending/outside/1200") != "上传中"; }, 60000));
    EXPECT_EQ(page->statusText("pending/outside/1200"), "上传失败：服务器拒收");
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "待上传") << "a dataset without its manifest is not delivered";

    store->refuse_manifest = false;
    store->sent();
    startAll();
    ASSERT_TRUE(kavrel::test::waitUntil([&] { return page->statusText("pending/outside/1200") == "已完成"; }, 60000));
    EXPECT_EQ(store->sent(), std::vector<std::string>{dataset_key("pending/outside/1200") + "/_manifest.json"});
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "已完成");
}
