// The upload page driven as an operator would, against the test S3 server.

#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "S3TestServer.h"
#include "StorageTestSupport.h"
#include "UploadWidget.h"
#include "file_manager.h"

using namespace storage_test;

namespace {

const char kPending[] = "pending/outside/1200";

class UploadPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_bytes(fs::path(scratch.card()) / kPending / "meta.yaml", 300);
        write_bytes(fs::path(scratch.card()) / "done/outside/1200/meta.yaml", 10);
        writeFile(scratch.ledger(), "dir_name,creat_date,size,type,status,succ_up_date\n"
                                    "pending/outside/1200,1,300,采集,待上传,0\n"
                                    "done/outside/1200,1,10,采集,已完成,5\n");
        manager.init(scratch.ledger(), scratch.card());
    }
    template <typename T>
    T* find(const char* name) { return page->findChild<T*>(name); }
    // Selects every row, starts, and returns the pending row's status once its run ended.
    std::string run()
    {
        find<QPushButton>("Btn_SelectAll")->click();
        find<QPushButton>("Btn_StartUpload")->click();
        EXPECT_EQ(page->statusText(kPending), "上传中");
        EXPECT_TRUE(kavrel::test::waitUntil([&] { return page->statusText(kPending) != "上传中"; }, 60000));
        return page->statusText(kPending).toStdString();
    }

    ScratchDir scratch;
    file_manager manager;
    std::unique_ptr<UploadWidget> page;
};

} // namespace

TEST_F(UploadPage, WithoutAnEndpointSaysUploadsAreOff)
{
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    EXPECT_TRUE(find<QLabel>("label_UploadState")->text().contains("未配置上传服务器"));
    EXPECT_FALSE(find<QPushButton>("Btn_StartUpload")->isEnabled());
    EXPECT_EQ(page->statusText(kPending), "待上传");
    EXPECT_EQ(page->statusText("done/outside/1200"), "已完成");
}

TEST_F(UploadPage, RefusedManifestShowsTheReasonAndTheNextRunSendsOnlyTheManifest)
{
    const server_env env = read_server_env();
    if (!env.skip_reason.empty())
        GTEST_SKIP() << env.skip_reason;
    const auto store = std::make_shared<hooked_store>(env.settings);
    store->refuse_manifest = true;
    manager.uploads().set_client(store, 2);
    page = std::make_unique<UploadWidget>(manager.ledger(), manager.uploads());
    page->setRecording(true);
    EXPECT_TRUE(find<QLabel>("label_UploadState")->text().contains("暂停"));
    page->setRecording(false);
    EXPECT_EQ(run(), "上传失败：服务器拒收");
    EXPECT_EQ(manager.ledger().records_snapshot()[0].status, "待上传") << "not delivered without its manifest";

    store->refuse_manifest = false;
    store->sent();
    EXPECT_EQ(run(), "已完成");
    EXPECT_EQ(store->sent(), std::multiset<std::string>{dataset_key(kPending) + "/_manifest.json"});
    const auto rows = manager.ledger().records_snapshot();
    EXPECT_EQ(rows[0].status, "已完成");
    EXPECT_EQ(rows[1].succ_up_date, 5) << "a completed row is not sent again";
    EXPECT_TRUE(find<QPushButton>("Btn_StartUpload")->isEnabled());
}
