// A dataset on the card holding links to files elsewhere on the board: the
// uploader sends nothing through them, names them in its report and still
// completes the dataset.

#include <filesystem>
#include <future>
#include <map>
#include <mutex>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "ledger.h"
#include "object_store.h"
#include "uploader.h"

namespace fs = std::filesystem;
using kavrel::test::readFile;
using kavrel::test::writeFile;

namespace {

// An object store in memory: what reached it, by key.
class MemoryStore : public object_store_client {
public:
    put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object*,
        const std::atomic<bool>&) override
    {
        std::lock_guard lock(mutex_);
        objects_[key] = readFile(file.path());
        return {};
    }
    put_outcome put_bytes(const std::string& key, const std::string& body, const std::atomic<bool>&) override
    {
        std::lock_guard lock(mutex_);
        objects_[key] = body;
        return {};
    }
    list_outcome list_objects(const std::string&, const std::atomic<bool>&) override { return {}; }

    std::map<std::string, std::string> objects() const
    {
        std::lock_guard lock(mutex_);
        return objects_;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> objects_;
};

} // namespace

TEST(HostileUpload, LinksOutOfTheDatasetAreNamedAndNeverSent)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString();
    const std::string card = base + "/card", secret = base + "/etc-kavrel-credentials";
    writeFile(secret, "secret_access_key = do-not-send\n");
    const std::string session = card + "/20250612-c1-washbasin/t1/20250612_143000";
    fs::create_directories(session + "/gemini2/color");
    writeFile(session + "/meta.yaml", "date: 20250612\n");
    writeFile(session + "/gemini2/color/20250612143000000.png", "image");
    fs::create_symlink(secret, session + "/gemini2/notes.txt");
    fs::create_symlink("/etc", session + "/board-etc");
    fs::create_symlink("color/20250612143000000.png", session + "/gemini2/same-image.png");  // stays inside

    dataset_ledger ledger;
    ASSERT_TRUE(ledger.open(base + "/file_manager.csv", card));
    const std::string row = "20250612-c1-washbasin/t1/20250612_143000";
    ASSERT_GE(ledger.add_dir_record(row, "rgbd"), 0);
    auto store = std::make_shared<MemoryStore>();
    uploader worker(ledger);
    worker.set_client(store, 2);
    std::promise<upload_info> last;
    ASSERT_TRUE(worker.submit_upload({[&](upload_info info) {
        if (info.last)
            last.set_value(std::move(info));
    }, row}));
    auto done = last.get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const upload_info report = done.get();
    worker.stop();

    EXPECT_TRUE(report.finished) << "the dataset completes without the link";
    std::string refused;
    for (const auto& file : report.refused_files)
        refused += file + "\n";
    EXPECT_EQ(report.refused_files.size(), 2u) << refused;
    EXPECT_NE(refused.find("notes.txt: is a link to " + secret + ", outside"), std::string::npos) << refused;
    EXPECT_NE(refused.find("board-etc: is a link to /etc, outside"), std::string::npos) << refused;
    for (const auto& [key, body] : store->objects()) {
        EXPECT_EQ(key.find("notes.txt"), std::string::npos) << key;
        EXPECT_EQ(body.find("do-not-send"), std::string::npos) << key;
    }
    bool sentImage = false, sentInsideLink = false;
    for (const auto& [key, body] : store->objects()) {
        sentImage |= key.find("color/20250612143000000.png") != std::string::npos;
        sentInsideLink |= key.find("same-image.png") != std::string::npos && body == "image";
    }
    EXPECT_TRUE(sentImage);
    EXPECT_TRUE(sentInsideLink) << "a link that stays inside is an ordinary file";
}
