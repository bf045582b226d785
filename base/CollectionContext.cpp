#include "CollectionContext.h"

bool CollectionInfo::operator==(const CollectionInfo& o) const
{
    return date == o.date && city == o.city && machine_id == o.machine_id && scene_name == o.scene_name
        && scene_label == o.scene_label && task_name == o.task_name && task_label == o.task_label
        && part_number == o.part_number && capture_mode == o.capture_mode && devices == o.devices
        && shot_interval_ms == o.shot_interval_ms && session_tags == o.session_tags;
}

CollectionContext& CollectionContext::instance()
{
    static CollectionContext context;
    return context;
}

CollectionInfo CollectionContext::collectionInfo() const
{
    std::shared_lock lock(mutex_);
    return info_;
}

void CollectionContext::setCollectionInfo(CollectionInfo value)
{
    std::unique_lock lock(mutex_);
    info_ = std::move(value);
}

std::string CollectionContext::storageRoot() const
{
    std::shared_lock lock(mutex_);
    return storageRoot_;
}

void CollectionContext::setStorageRoot(std::string value)
{
    std::unique_lock lock(mutex_);
    storageRoot_ = std::move(value);
}
