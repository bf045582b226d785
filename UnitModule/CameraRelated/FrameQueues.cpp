#include "FrameQueues.h"

#include <cstdio>
#include <ctime>

bool BoundedFrameQueue::push(FrameData&& record)
{
    if (count.load() >= maxSize)
        return false;
    // enqueue fails only when memory runs out; the record then stays with the caller.
    if (!queue_.enqueue(std::move(record)))
        return false;
    count.fetch_add(1);
    return true;
}

bool BoundedFrameQueue::push(std::unique_ptr<uint8_t[]> data, uint64_t size, std::string timestamp, int32_t width,
    int32_t height, std::string capture_id)
{
    FrameData record{std::move(data), size, std::move(timestamp), width, height, std::move(capture_id)};
    return push(std::move(record));
}

std::optional<FrameData> BoundedFrameQueue::pop()
{
    FrameData record;
    if (!queue_.try_dequeue(record))
        return std::nullopt;
    count.fetch_sub(1);
    return record;
}

void BoundedFrameQueue::clear()
{
    while (pop()) {
    }
}

bool pushPair(BoundedFrameQueue& firstQueue, FrameData&& first, BoundedFrameQueue& secondQueue, FrameData&& second)
{
    // Consumers only ever shrink the queues, so room seen here stays.
    if (firstQueue.size() >= BoundedFrameQueue::maxSize || secondQueue.size() >= BoundedFrameQueue::maxSize)
        return false;
    return firstQueue.push(std::move(first)) && secondQueue.push(std::move(second));
}

void NV12FrameQueue::configure(int32_t w, int32_t h)
{
    // Frames of the previous stream may have another size: a reader that took
    // them for frames of the new size would read past their end. They go first,
    // through pop() so that the count stays exact even while the GUI pops too.
    clear();
    width = w;
    height = h;
    capacity = defaultCapacity;
    frameSize = w * h * 3 / 2;
}

bool NV12FrameQueue::push(std::unique_ptr<uint8_t[]> buffer)
{
    if (count.load() >= capacity.load())
        return false;
    if (!queue_.enqueue(std::move(buffer)))
        return false;
    count.fetch_add(1);
    return true;
}

std::unique_ptr<uint8_t[]> NV12FrameQueue::pop()
{
    std::unique_ptr<uint8_t[]> buffer;
    if (!queue_.try_dequeue(buffer))
        return nullptr;
    count.fetch_sub(1);
    return buffer;
}

void NV12FrameQueue::clear()
{
    while (pop()) {
    }
}

FrameQueueManager& FrameQueueManager::instance()
{
    static FrameQueueManager manager;
    return manager;
}

std::string FrameQueueManager::popCaptureToken()
{
    std::string token;
    if (!captureTokenQueue.try_dequeue(token))
        return {};
    return token;
}

void FrameQueueManager::clearSaveQueues()
{
    clearImageQueues();
    imuQueue.clear();
}

void FrameQueueManager::clearImageQueues()
{
    usbMjpegQueue.clear();
    depthMjpegQueue.clear();
    depthQueue.clear();
}

std::string makeTimestampText()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64]; // room for any int the format could print; the clock gives 17 digits
    std::snprintf(text, sizeof text, "%d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    return text;
}
