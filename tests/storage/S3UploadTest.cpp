// Uploads against a real S3-compatible server (Ceph's object gateway, started
// once per test run by the s3_server fixture): bytes, checksums, resume,
// and the reasons an operator sees when something is wrong.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LinkProxy.h"
#include "S3TestServer.h"
#include "store_manifest.h"

using namespace storage_test;
using namespace std::chrono_literals;
using link_test::link_proxy;

namespace {

class S3Upload : public gateway_test {
protected:
    void SetUp() override
    {
        gateway_test::SetUp();
        // Small enough that a few MiB go up in parts.
        settings.multipart_threshold = 6u << 20;
        settings.part_size = 5u << 20;
    }
    std::string dataset(const std::string& suffix = "") { return run_name() + suffix + "/urinal/0/120000"; }
    // A recorded dataset of files f0, f1... of `bytes` each, every one of other bytes.
    std::string recorded_dataset(int files, std::size_t bytes)
    {
        const std::string name = dataset();
        for (int i = 0; i < files; ++i)
            write_bytes(fs::path(scratch.card()) / name / ("f" + std::to_string(i)), bytes, static_cast<char>('a' + i));
        manager.ledger().add_dir_record(name, "采集");
        return name;
    }
    // A link of ours to the gateway, and the settings that go through it.
    s3_settings through(link_proxy& link)
    {
        EXPECT_TRUE(link.start());
        s3_settings with = settings;
        with.endpoint = "http://127.0.0.1:" + std::to_string(link.port());
        return with;
    }
    uint16_t gateway_port() const
    {
        return static_cast<uint16_t>(std::stoi(settings.endpoint.substr(settings.endpoint.rfind(':') + 1)));
    }
    template <typename Store = s3_client>
    std::shared_ptr<Store> start(s3_settings with, int parallel_files = 4)
    {
        manager.init(scratch.ledger(), scratch.card());
        auto store = std::make_shared<Store>(with);
        manager.uploads().set_client(store, parallel_files);
        return store;
    }
    // The ledger's only row's upload state.
    std::string status() { return manager.ledger().records_snapshot().at(0).status; }
};

} // namespace

TEST(ObjectKeys, FollowThePrefixTableBelowTheDataset)
{
    const struct {
        const char* dataset;
        const char* file;
        const char* key;
    } cases[] = {
        {"ds1", "urinal/a.png", "rosbags/fullscene/ds1/urinal/a.png"},
        {"ds1", "foo/depth/c.png", "rosbags/gejian/ds1/foo/depth/c.png"},
        {"d/all_open/1200", "data.json", "rosbags/gejian/d/all_open/1200/data.json"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(object_key(c.dataset, c.file), c.key) << c.dataset << " " << c.file;
    EXPECT_EQ(dataset_key("d/washbasin/1200"), "rosbags/fullscene/d/washbasin/1200");
    EXPECT_EQ(s3_encode_key("a b/厕所+x~_.-"), "a%20b/%E5%8E%95%E6%89%80%2Bx~_.-");
}

// Escapes and quotes the tests' gateway does not use; a page that cannot be followed is no listing.
TEST(ObjectListing, PageWithEscapedKeysAndQuotedETags)
{
    const std::string page =
        "<?xml version=\"1.0\"?><ListBucketResult><IsTruncated>true</IsTruncated>"
        "<Contents><Key>a/R&amp;D &lt;1&gt;/&#21397;.png</Key><Size>12</Size><ETag>&quot;ABC123&quot;</ETag></Contents>"
        "<NextContinuationToken>tok/+=</NextContinuationToken></ListBucketResult>";
    std::vector<stored_object> objects;
    std::string next;
    ASSERT_TRUE(s3_parse_list_page(page, objects, next));
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].key, "a/R&D <1>/厕.png");
    EXPECT_EQ(objects[0].etag, "abc123");
    EXPECT_EQ(next, "tok/+=");
    EXPECT_FALSE(s3_parse_list_page("<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>", objects, next));
}

// The manifest takes a file's SHA-256 from the session's SHA256SUMS, hashed
// when the file was written, while the file is unchanged since; a file
// changed after it gets the hash of the bytes sent. Sent again, the listing
// (names to decode, a multipart ETag) holds every file.
TEST_F(S3Upload, DatasetArrivesByteForByteWithManifestAndIsSkippedWhenSentAgain)
{
    const std::string name = dataset();
    const fs::path folder = fs::path(scratch.card()) / name;
    // Recorded hashes that the bytes would not give: only reuse can put them in the manifest.
    const std::string recordedKept(64, 'a'), recordedChanged(64, 'b');
    std::map<std::string, std::string> files = {
        {"cam/color/1 帧&.png", std::string(70000, 'c')},
        {"cam/depth/1.png", std::string(3, 'd')},
        {"empty.txt", ""},
        {"data.json", std::string((13u << 20) + 17, 'j')},  // three parts
        {"D1/color/changed.png", std::string(5000, 'c')},
        {"D1/color/kept.png", std::string(5000, 'k')},
        {"SHA256SUMS", recordedChanged + "  D1/color/changed.png\n" + recordedKept + "  D1/color/kept.png\n"},
    };
    for (auto& [path, content] : files) {
        for (std::size_t i = 4093; i < content.size(); i += 4093)
            content[i] = static_cast<char>(i / 4093);
        put_file(folder / path, content);
    }
    const auto later = fs::last_write_time(folder / "SHA256SUMS") + std::chrono::seconds(5);
    fs::last_write_time(folder / "D1" / "color" / "changed.png", later);
    const auto client = start(settings);
    manager.ledger().add_dir_record(name, "采集");

    manager.uploads().set_paused(true);  // as while recording: the request waits
    const upload_info first = upload(name, {}, [&] {
        EXPECT_TRUE(manager.uploads().is_queued_or_sending(name)) << "a queued dataset must not be deleted";
        manager.uploads().set_paused(false);
    });
    EXPECT_TRUE(first.finished);
    EXPECT_EQ(status(), "已完成");

    nlohmann::json listed = nlohmann::json::object();
    for (const auto& [path, content] : files) {
        const s3_response got = client->get_object(object_key(name, path));
        EXPECT_TRUE(got.body == content) << path << " " << got.detail;
        listed[object_key(name, path)] = {content.size(), sha256_hex(content)};
    }
    listed[object_key(name, "D1/color/kept.png")][1] = recordedKept;
    const std::string manifest = client->get_object(dataset_key(name) + "/_manifest.json").body;
    const nlohmann::json parsed = nlohmann::json::parse(manifest, nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << manifest;
    EXPECT_EQ(parsed["dataset"], name);
    nlohmann::json from_manifest = nlohmann::json::object();
    for (const auto& f : parsed["files"])
        from_manifest[f["key"].get<std::string>()] = {f["size"], f["sha256"]};
    EXPECT_EQ(from_manifest, listed);

    const upload_info again = upload(name);
    EXPECT_TRUE(again.finished);
    EXPECT_EQ(again.files_skipped, 7u) << "nothing is sent twice";
}

TEST_F(S3Upload, ServerReasonsReachTheReportAndNothingIsMarked)
{
    const std::string name = dataset();
    write_bytes(fs::path(scratch.card()) / name / "cam" / "color" / "1.png", 1000);
    const struct {
        const char* what;
        std::function<void(s3_settings&)> change;
        upload_failure failure;
        const char* text;
    } cases[] = {
        {"wrong secret", [](s3_settings& s) { s.secret_access_key = "wrong-secret"; }, upload_failure::auth, "认证失败"},
        {"missing bucket", [](s3_settings& s) { s.bucket = "no-such-bucket"; }, upload_failure::no_bucket,
            "存储桶不存在"},
        {"clock an hour ahead", [](s3_settings& s) { s.clock_offset = std::chrono::hours(1); },
            upload_failure::clock_skew, "设备时间不准"},
        {"nothing listening", [](s3_settings& s) { s.endpoint = "http://127.0.0.1:9"; }, upload_failure::unreachable,
            "无法连接服务器"},
        {"https without our CA", [&](s3_settings& s) { s.endpoint = env.tls_endpoint; }, upload_failure::certificate,
            "服务器证书无法验证"},
    };
    start(settings);
    manager.ledger().add_dir_record(name, "采集");
    for (const auto& c : cases) {
        s3_settings changed = settings;
        c.change(changed);
        manager.uploads().set_client(std::make_shared<s3_client>(changed), 4);
        log.clear();
        const upload_info report = upload(name);
        EXPECT_FALSE(report.finished) << c.what;
        EXPECT_EQ(report.failure, c.failure) << c.what;
        EXPECT_STREQ(failure_text(report.failure), c.text);
        EXPECT_TRUE(log.contains(std::string("Upload incomplete for dataset: ") + name)) << c.what;
        EXPECT_EQ(status(), "待上传") << c.what;
        EXPECT_EQ(log.contains("The device clock is far from the object store's"),
            c.failure == upload_failure::clock_skew) << c.what;
        EXPECT_FALSE(log.contains("wrong-secret")) << "a secret reached the log";
    }

    s3_settings tls = settings;
    tls.endpoint = env.tls_endpoint;
    tls.ca_file = env.ca_file;
    manager.uploads().set_client(std::make_shared<s3_client>(tls), 4);
    EXPECT_TRUE(upload(name).finished) << "https with the CA that signed the server's certificate";
    EXPECT_EQ(status(), "已完成");
}

TEST_F(S3Upload, LinkCutMidDatasetResumesWithOnlyTheFilesTheListingLacks)
{
    link_proxy link(gateway_port(), 5ms, 50);
    s3_settings paged = through(link);
    paged.list_page_size = 5;  // the listing has to follow its pages
    const auto store = start<hooked_store>(paged);
    const std::string name = recorded_dataset(24, 20000);

    bool cut = false;
    const upload_info first = upload(name, [&](const upload_info& report) {
        if (!cut && report.files_done >= 6 && !report.last) {
            cut = true;
            link.stop();
        }
    });
    ASSERT_TRUE(cut);
    EXPECT_EQ(first.failure, upload_failure::unreachable);
    EXPECT_EQ(status(), "待上传");

    const std::atomic<bool> never{false};
    const list_outcome held = s3_client(settings).list_objects(dataset_key(name) + "/", never);
    ASSERT_TRUE(held.ok()) << held.detail;
    EXPECT_LT(held.objects.size(), 24u);
    std::multiset<std::string> lacking = {dataset_key(name) + "/_manifest.json"};
    for (int i = 0; i < 24; ++i) {
        const std::string key = object_key(name, "f" + std::to_string(i));
        if (std::none_of(held.objects.begin(), held.objects.end(), [&](const stored_object& o) { return o.key == key; }))
            lacking.insert(key);
    }

    ASSERT_TRUE(link.start());
    store->sent();
    EXPECT_TRUE(upload(name).finished);
    EXPECT_EQ(store->sent(), lacking) << "the files the listing lacked, then the manifest";
    EXPECT_EQ(status(), "已完成");
}

TEST_F(S3Upload, RateCapHoldsTheUploadToItsShareOfTheLink)
{
    link_proxy link(gateway_port(), 5ms, 10);
    s3_settings capped = through(link);
    capped.max_mbit = 5;
    start(capped, 8);
    const std::string name = recorded_dataset(24, 100000);
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(upload(name).finished);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double mbit = 2400000 * 8e-6 / seconds;
    std::printf("capped at 5 Mbit/s on a 10 Mbit/s link: %.2f Mbit/s\n", mbit);
    // Wide: a loaded machine only slows it; without the cap it is near 10.
    EXPECT_GT(mbit, 3.5);
    EXPECT_LT(mbit, 5.75);
}

TEST_F(S3Upload, CancelStopsALargeFileInFlightWithinASecond)
{
    start(settings, 1);
    const std::string name = recorded_dataset(3, 60u << 20);
    std::chrono::steady_clock::time_point cancelled_at;
    std::thread canceller;  // off the upload thread, and done before the uploader goes
    const upload_info last = upload(name, [&](const upload_info& r) {
        if (r.files_done == 1 && !r.last && !canceller.joinable()) {
            cancelled_at = std::chrono::steady_clock::now();
            canceller = std::thread([this] { manager.uploads().cancel_all(); });
        }
    });
    if (canceller.joinable())
        canceller.join();
    EXPECT_EQ(last.failure, upload_failure::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, 1s);
    EXPECT_EQ(status(), "待上传");
}

// A file changed after the folder was walked goes as it is now, never through a link out of the dataset.
TEST_F(S3Upload, FileSwappedAfterListingIsSentAsItIsNowButNeverFollowedOutOfTheDataset)
{
    const std::string secret = "secret_access_key = do-not-send\n", meta = "date: 20250612\n";
    const fs::path elsewhere = fs::path(scratch.path()) / "etc-kavrel";
    fs::create_directories(elsewhere);
    writeFile(elsewhere / "credentials", secret);
    writeFile(elsewhere / "notes.txt", secret);
    const struct {
        const char* what;
        std::function<void(const fs::path& folder)> swap;
        bool sent;  // notes.txt arrives (with the linked file's bytes, from inside)
    } cases[] = {
        {"file to a link outside", [&](const fs::path& folder) {
             fs::remove(folder / "cam" / "notes.txt");
             fs::create_symlink(elsewhere / "credentials", folder / "cam" / "notes.txt");
         }, false},
        {"folder to a link outside", [&](const fs::path& folder) {
             fs::remove_all(folder / "cam");
             fs::create_symlink(elsewhere, folder / "cam");
         }, false},
        {"file to a link inside", [&](const fs::path& folder) {
             fs::remove(folder / "cam" / "notes.txt");
             fs::create_symlink("../meta.yaml", folder / "cam" / "notes.txt");
         }, true},
    };
    start(settings);
    for (const auto& c : cases) {
        const std::string name = dataset("-" + std::to_string(&c - cases));
        const fs::path folder = fs::path(scratch.card()) / name;
        fs::create_directories(folder / "cam");
        writeFile(folder / "meta.yaml", meta);
        writeFile(folder / "cam" / "notes.txt", "harmless\n");
        manager.ledger().add_dir_record(name, "采集");
        auto store = std::make_shared<hooked_store>(settings);
        store->before_listing = [&] { c.swap(folder); };
        manager.uploads().set_client(store, 2);

        const upload_info report = upload(name);
        const s3_response notes = store->inner.get_object(object_key(name, "cam/notes.txt"));
        EXPECT_EQ(report.finished, c.sent) << c.what;
        if (c.sent) {
            EXPECT_EQ(notes.body, meta) << c.what;
            EXPECT_TRUE(log.contains("File changed since it was listed: " + (folder / "cam" / "notes.txt").string()));
        } else {
            EXPECT_EQ(notes.status, 404) << c.what;
            EXPECT_EQ(report.failed_files, std::vector<std::string>{(folder / "cam" / "notes.txt").string()}) << c.what;
            EXPECT_TRUE(log.contains("outside the session")) << c.what;
        }
    }
}
