#include "FrameQueues.h"

#include <cstdio>
#include <ctime>

void PreviewMailbox::post(PreviewFrame frame)
{
    PreviewFrame unread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unread = std::move(slot_);
        slot_ = std::move(frame);
    }
    if (unread)
        ++replaced_;
}  // the replaced buffer is freed outside the lock

PreviewFrame PreviewMailbox::take()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(slot_);
}

void PreviewMailbox::clear()
{
    take();
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
