#pragma once
// What the operator is capturing right now and where it goes. Reached from the
// GUI thread, the save worker and the camera callbacks: every field has one
// lock, held only for one copy or one assignment, never two locks at once.

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct CollectionInfo {
    std::string date;          // "yyyyMMdd", local time
    std::string city;
    std::string machine_id;
    std::string scene_name;
    std::string scene_label;
    std::string task_name;
    std::string task_label;
    std::string part_number;   // "0" when the task needs none
    std::string capture_mode;  // single_shot, continue_shot, continue_record, continuous_shot
    std::string devices;       // device folder names joined with ","
    int32_t shot_interval_ms = 1000;
    std::vector<std::string> session_tags;

    bool operator==(const CollectionInfo& other) const;
};

class CollectionContext {
public:
    static CollectionContext& instance();

    // Guards everything down to DepthSavePath.
    mutable std::shared_mutex mutex;
    CollectionInfo info;
    std::string storage_root;
    std::string BaseSavePath_;
    std::string RGBSavePath;
    std::string DepthSavePath;

    // Guards imu_entries: null or an array of IMU entry objects.
    std::mutex imu_mutex;
    nlohmann::json imu_entries;

    // Guards additional_tags: the tags chosen for the current snapshot.
    std::mutex tags_mutex;
    std::vector<std::string> additional_tags;

    // Short locked copies and assignments for the common cases.
    CollectionInfo collectionInfo() const;
    void setCollectionInfo(CollectionInfo value);
    std::string storageRoot() const;
    void setStorageRoot(std::string value);
    std::string baseSavePath() const;
    void setBaseSavePath(std::string value);
    std::string rgbSavePath() const;
    std::string depthSavePath() const;
    // Sets or clears (empty strings) the three paths of the open session.
    void setSessionPaths(std::string base, std::string rgb, std::string depth);

    std::vector<std::string> additionalTags();
    void setAdditionalTags(std::vector<std::string> tags);

private:
    CollectionContext() = default;
};
