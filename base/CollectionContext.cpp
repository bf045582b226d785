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
    std::shared_lock lock(mutex);
    return info;
}

void CollectionContext::setCollectionInfo(CollectionInfo value)
{
    std::unique_lock lock(mutex);
    info = std::move(value);
}

std::string CollectionContext::storageRoot() const
{
    std::shared_lock lock(mutex);
    return storage_root;
}

void CollectionContext::setStorageRoot(std::string value)
{
    std::unique_lock lock(mutex);
    storage_root = std::move(value);
}

std::string CollectionContext::baseSavePath() const
{
    std::shared_lock lock(mutex);
    return BaseSavePath_;
}

void CollectionContext::setBaseSavePath(std::string value)
{
    std::unique_lock lock(mutex);
    BaseSavePath_ = std::move(value);
}

std::string CollectionContext::rgbSavePath() const
{
    std::shared_lock lock(mutex);
    return RGBSavePath;
}

std::string CollectionContext::depthSavePath() const
{
    std::shared_lock lock(mutex);
    return DepthSavePath;
}

void CollectionContext::setSessionPaths(std::string base, std::string rgb, std::string depth)
{
    std::unique_lock lock(mutex);
    BaseSavePath_ = std::move(base);
    RGBSavePath = std::move(rgb);
    DepthSavePath = std::move(depth);
}

std::vector<std::string> CollectionContext::additionalTags()
{
    std::lock_guard lock(tags_mutex);
    return additional_tags;
}

void CollectionContext::setAdditionalTags(std::vector<std::string> tags)
{
    std::lock_guard lock(tags_mutex);
    additional_tags = std::move(tags);
}
