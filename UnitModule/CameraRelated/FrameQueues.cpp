#include "FrameQueues.h"

#include <cstdio>
#include <ctime>

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

std::string makeTimestampText(int64_t* utcMicros)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (utcMicros)
        *utcMicros = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64]; // room for any int the format could print; the clock gives 17 digits
    std::snprintf(text, sizeof text, "%d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

int64_t hostUtcMicros()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
