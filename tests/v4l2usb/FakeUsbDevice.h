#pragma once
// A USB camera for tests, behind the reader interface UsbCamera opens.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "UsbCamera.h"
#include "v4l2_usb_read.h"

namespace kavrel::test {

// A camera on the bus: while plugged in it opens and delivers the same frame
// every few milliseconds; unplugged, its open reader goes silent and it does not open.
struct FakeDevice {
    FakeDevice(std::vector<uint8_t> bytes, unsigned frameWidth, unsigned frameHeight)
        : frame(std::move(bytes))
        , width(frameWidth)
        , height(frameHeight)
    {
    }
    const std::vector<uint8_t> frame;
    const unsigned width;
    const unsigned height;
    std::atomic<bool> plugged{true};
    std::atomic<int> opens{0};
    std::atomic<int> delivered{0};
    std::atomic<std::size_t> largestCapacity{0};
};

class FakeReader : public camera_base::CameraRead {
public:
    explicit FakeReader(FakeDevice& device) : device_(device) {}
    unsigned get_width() override { return device_.width; }
    unsigned get_height() override { return device_.height; }
    unsigned get_fps() override { return 30; }
    unsigned get_frame_size() override { return static_cast<unsigned>(device_.frame.size()); }
    uint8_t* get_frame() override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (!device_.plugged)
            return nullptr;
        ++device_.delivered;
        return const_cast<uint8_t*>(device_.frame.data());
    }
    int read_frame(uint8_t* /*dst*/) override { return -1; }
    bool reopen() override { return false; }
    unsigned copy_last_frame(uint8_t* dst, std::size_t capacity) override
    {
        if (capacity > device_.largestCapacity)
            device_.largestCapacity = capacity;
        const std::size_t bytes = std::min(device_.frame.size(), capacity);
        std::memcpy(dst, device_.frame.data(), bytes);
        return static_cast<unsigned>(bytes);
    }

private:
    FakeDevice& device_;
};

inline UsbCamera::Opener openerFor(FakeDevice& device)
{
    return [&device](const std::string&, const CameraConfig&) -> std::unique_ptr<camera_base::CameraRead> {
        if (!device.plugged)
            return nullptr;
        ++device.opens;
        return std::make_unique<FakeReader>(device);
    };
}

} // namespace kavrel::test
