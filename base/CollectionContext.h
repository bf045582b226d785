#pragma once
// What the operator is capturing right now and the storage root it goes
// under. Reached from the GUI thread and the save worker: one lock, held only
// for one copy or one assignment. What a run carries (its frames, IMU samples,
// snapshot tags and the session folder it writes into) travels with the run,
// never through here.

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

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

    // Locked copies and assignments, one field at a time.
    CollectionInfo collectionInfo() const;
    void setCollectionInfo(CollectionInfo value);
    std::string storageRoot() const;
    void setStorageRoot(std::string value);

private:
    CollectionContext() = default;

    mutable std::shared_mutex mutex_;
    CollectionInfo info_;
    std::string storageRoot_;
};
