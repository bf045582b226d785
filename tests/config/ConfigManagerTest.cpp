// The device file, the user's YAML overlay (and YAML to JSON for it), uploads and credentials.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "yaml_json.h"

namespace fs = std::filesystem;
using kavrel::test::ScopedEnv;
using kavrel::test::writeFile;

namespace {

const char* kCamera = R"({"camera_type_str":"Gemini_corlor","camera_id":1,"width":1280,"height":720,"fps":30,"exposure_time":2.5})";

std::string cameraConfig(bool withCamera3 = true)
{
    std::string s = std::string(R"({"capture_freq":1000,"camera1":)") + kCamera + R"(,"camera2":)"
        + R"({"camera_type_str":"Gemini_depeth","camera_id":true,"width":640.7,"height":480,"fps":15,"exposure_time":false})";
    if (withCamera3)
        s += std::string(R"(,"camera3":)") + kCamera;
    return s + "}";
}

nlohmann::ordered_json convert(const std::string& yaml)
{
    return yaml_to_json(YAML::Load(yaml));
}

class ConfigManagerTest : public kavrel::test::ScratchHomeTest {
protected:
    void writeDevice(const std::string& json) const { put("def_config.json", json); }
    void writeOverlay(const std::string& yaml) const { put(".config/kavrel/config.yaml", yaml); }
    int init() const { return config_manager::instance().init(home_ + "/def_config.json"); }

    config_manager& cfg_ = config_manager::instance();
};

} // namespace

TEST_F(ConfigManagerTest, FullDeviceFileFillsEveryMemberInOrder)
{
    writeDevice(R"({"city_list":{"sz":"深圳","bj":"北京"},"cur_city":"sz","machine_id":"EMP-1",
        "font_size_px":"28","cap_type":"rgbd","unknown":1,
        "scripts":[{"name":"备份","cmd":"backup.sh --all","description":"copy"},{"name":"x"},
                   {"name":"同步","cmd":"sync.sh","description":5},"junk"],
        "camera_config":)" + cameraConfig() + "}");
    EXPECT_EQ(init(), 0);
    ASSERT_EQ(cfg_.city_list_.size(), 2u);
    EXPECT_EQ(cfg_.city_list_[1], std::make_pair(std::string("bj"), std::string("北京"))) << "file order kept";
    EXPECT_EQ(cfg_.font_size_px_, 28) << "a number in a string is read";
    ASSERT_EQ(cfg_.scripts_.size(), 2u) << "elements without a command or not objects are left out";
    EXPECT_EQ(cfg_.scripts_[1].description, "");
    EXPECT_FLOAT_EQ(cfg_.camera_config_.camera1.exposure_time, 2.5f);
    EXPECT_EQ(cfg_.camera_config_.camera2.width, 640) << "numbers truncate to int";
}

TEST_F(ConfigManagerTest, BadFontSizesEmptyAndMalformedFilesKeepDefaults)
{
    for (const char* value : {"0", "-3", "28.5"}) {
        cfg_.resetForTest();
        writeDevice(std::string(R"({"font_size_px":)") + value + "}");
        init();
        EXPECT_EQ(cfg_.fontSizePx(), 36) << value;
    }
    writeDevice(R"({"font_size_px":"big"})");
    EXPECT_EQ(init(), -1);
    EXPECT_TRUE(log_.contains("config_manager::init parse config error: stoi"));

    cfg_.resetForTest();
    fs::remove(home_ + "/def_config.json");
    EXPECT_EQ(init(), -1);
    EXPECT_TRUE(log_.contains("ERROR") && log_.contains("load_json: file is empty"));
    writeDevice(R"({"machine_id": "a", // comment
    })");
    init();
    EXPECT_TRUE(log_.contains("load_json: error: [json.exception.parse_error"));
}

TEST_F(ConfigManagerTest, CameraConfigIsReplacedWholeOrNotAtAll)
{
    writeDevice(R"({"camera_config":)" + cameraConfig(false) + "}");
    EXPECT_EQ(init(), -1);
    EXPECT_TRUE(log_.contains("config_manager::init parse config error: [json.exception.out_of_range.403] key 'camera3' not found"));
    EXPECT_EQ(cfg_.camera_config_.camera1.width, 0);

    writeDevice(R"({"camera_config":)" + cameraConfig() + "}");
    init();
    writeDevice(R"({"camera_config":{"capture_freq":5,"camera1":{"camera_type_str":7}}})");
    init();
    EXPECT_TRUE(log_.contains("type must be string, but is number"));
    EXPECT_EQ(cfg_.camera_config_.capture_freq, 1000) << "a broken camera_config keeps the previous one";
}

TEST_F(ConfigManagerTest, OverlayPatchesDeviceFileUnlessBrokenOrNotAMapping)
{
    writeDevice(R"({"cur_city":"sz","machine_id":"EMP-1","scripts":[{"name":"a","cmd":"b"}],"camera_config":)"
        + cameraConfig() + "}");
    writeOverlay("cur_city: bj\nmachine_id: ~\ncamera_config:\n  camera1:\n    width: 1920\nscripts: 5\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(cfg_.cur_city_, "bj");
    EXPECT_EQ(cfg_.machine_id_, "") << "a null member deletes the key";
    EXPECT_EQ(cfg_.camera_config_.camera1.width, 1920);
    EXPECT_EQ(cfg_.camera_config_.camera1.height, 720) << "other fields of camera1 stay";
    EXPECT_TRUE(cfg_.scripts_.empty()) << "scripts that are not an array give an empty list";

    writeOverlay("cur_city: [unclosed\n");
    init();
    EXPECT_TRUE(log_.contains("WARN") && log_.contains("load_user_app_config failed, path=" + home_
        + "/.config/kavrel/config.yaml, err="));
    EXPECT_EQ(cfg_.cur_city_, "sz");
    writeOverlay("- a\n- b\n");
    init();
    EXPECT_EQ(cfg_.cur_city_, "sz") << "a non-mapping root is ignored";
}

TEST_F(ConfigManagerTest, UploadObjectTakesDefaultsAndTheOverlayCanSetIt)
{
    writeDevice(R"({"upload":{"endpoint":"http://10.0.0.5:7480"}})");
    writeOverlay("upload:\n  bucket: fleet\n  parallel_files: 99\n  max_mbit: 2.5\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(cfg_.upload_.endpoint, "http://10.0.0.5:7480");
    EXPECT_EQ(cfg_.upload_.bucket, "fleet");
    EXPECT_EQ(cfg_.upload_.parallel_files, 16) << "out of range falls back to the default";
    EXPECT_TRUE(log_.contains("upload.parallel_files out of range (1 to 32): 99, using 16"));

    writeOverlay("upload:\n  max_mbit: -3\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(cfg_.upload_.max_mbit, 0) << "no cap rather than a rate of nothing";
    EXPECT_TRUE(log_.contains("upload.max_mbit must be a positive number"));

    writeDevice(R"({"upload":{"endpoint":"ftp://host"}})");
    writeOverlay("{}\n");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(cfg_.upload_.endpoint, "") << "only http and https turn uploads on";
    EXPECT_TRUE(log_.contains("upload.endpoint must be an http:// or https:// URL"));
}

TEST_F(ConfigManagerTest, CredentialsComeFromAPrivateFileOrTheEnvironment)
{
    const std::string path = home_ + "/credentials";
    ScopedEnv id("AWS_ACCESS_KEY_ID", std::string("ENVKEY"));
    ScopedEnv secret("AWS_SECRET_ACCESS_KEY", std::string("envsecret"));
    EXPECT_EQ(load_upload_credentials(path).secret_access_key, "envsecret") << "no file: the environment";

    writeFile(path, "# keys\naccess_key_id = FILEKEY\nsecret_access_key=filesecret \n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(load_upload_credentials(path).secret_access_key, "filesecret");

    fs::permissions(path, fs::perms::group_read, fs::perm_options::add);
    const upload_credentials shared = load_upload_credentials(path);
    EXPECT_FALSE(shared.ok()) << "a file others can read is refused, not bypassed by the environment";
    EXPECT_NE(shared.error.find("readable by group or others"), std::string::npos);
    EXPECT_EQ(shared.error.find("filesecret"), std::string::npos);
}

TEST_F(ConfigManagerTest, MaxBacklogTakesWholeMebibytesFrom16AndDefaultsToAtMostOneGibibyte)
{
    const unsigned long long defaultBytes = cfg_.maxBacklogBytes();
    EXPECT_LE(defaultBytes, 1024ull << 20);
    struct Case {
        const char* value;
        unsigned long long bytes;  // 0: the default stays
    };
    for (const Case& c : {Case{"16", 16ull << 20}, Case{"15", 0}, Case{"2.5", 0}, Case{"\"128\"", 0},
             Case{"4096", 4096ull << 20}}) {
        SCOPED_TRACE(c.value);
        cfg_.resetForTest();
        log_.clear();
        writeDevice(std::string(R"({"max_backlog_mb":)") + c.value + "}");
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(cfg_.maxBacklogBytes(), c.bytes ? c.bytes : defaultBytes);
        EXPECT_EQ(log_.contains("max_backlog_mb must be a whole number"), c.bytes == 0);
    }
}

TEST(YamlToJson, ScalarsTakeTheFirstTypeThatFitsAndMappingsKeepDocumentOrder)
{
    // The JSON text tells the types apart: 10 is an integer, 1.5 a double.
    const std::pair<const char*, const char*> cases[] = {
        {"yes", "true"},
        {"010", "10"},
        {"\"010\"", "\"010\""},
        {"1.5", "1.5"},
        {"12abc", "\"12abc\""},
        {"'true'", "\"true\""},
    };
    for (const auto& [yaml, json] : cases)
        EXPECT_EQ(convert(std::string("a: ") + yaml)["a"].dump(), json) << yaml;
    const auto j = convert("g: -.INF\ni: .NaN\nm: 9223372036854775808\n");
    EXPECT_TRUE(std::isinf(j["g"].get<double>()) && j["g"].get<double>() < 0);
    EXPECT_TRUE(std::isnan(j["i"].get<double>()));
    EXPECT_TRUE(j["m"].is_number_float()) << "beyond 64 bits falls back to a double";
    EXPECT_EQ(convert("z: 1\na: [1, two, {k: v}]\nm: {y: 2, b: 3}\n").dump(),
        R"({"z":1,"a":[1,"two",{"k":"v"}],"m":{"y":2,"b":3}})");
}

TEST(YamlToJson, SelfReferencingAnchorIsRefusedNotRecursedForever)
{
    EXPECT_THROW(convert("a: &x [*x]\n"), std::runtime_error);
    std::string deep = "v";
    for (int i = 0; i < 70; ++i)
        deep = "[" + deep + "]";
    EXPECT_THROW(convert("a: " + deep + "\n"), std::runtime_error);
    EXPECT_NO_THROW(convert("a: [[[[1]]]]\n"));
}
