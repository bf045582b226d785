#include "PreviewThread.h"

#include <memory>

#include "CameraThread.h"
#include "FrameQueues.h"
#include "Log.h"

PreviewThread::PreviewThread(PreviewMailbox& mailbox, int32_t width, int32_t height, Convert convert,
    std::function<void()> frameQueued, const char* threadName)
    : mailbox_(mailbox)
    , width_(width)
    , height_(height)
    , convert_(std::move(convert))
    , frameQueued_(std::move(frameQueued))
    , thread_(&PreviewThread::run, this)
{
    nameCameraThread(thread_, threadName);
}

PreviewThread::~PreviewThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void PreviewThread::submit(const uint8_t* data, size_t size, int format, int width, int height)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hasPending_)
            ++replaced_;
        // assign() reuses the buffer of the frame replaced: no allocation per frame.
        pending_.data.assign(data, data + size);
        pending_.format = format;
        pending_.width = width;
        pending_.height = height;
        hasPending_ = true;
    }
    wake_.notify_one();
}

void PreviewThread::run()
{
    Frame frame;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || hasPending_; });
            if (stop_)
                return;
            std::swap(frame, pending_);
            hasPending_ = false;
        }
        if (width_ <= 0 || height_ <= 0)
            continue;
        auto buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(width_) * height_ * 3 / 2);
        bool ok = false;
        try {
            ok = convert_(frame, buffer.get());
        } catch (const std::exception& e) {
            LOGW << "Preview conversion raised: " << e.what();
        }
        if (!ok)
            continue;
        // The frame belongs to the mailbox from here; the GUI thread takes it.
        mailbox_.post({std::move(buffer), width_, height_});
        ++converted_;
        if (frameQueued_)
            frameQueued_();
    }
}
