#pragma once
// A USB (UVC) camera read through Video4Linux2 with memory-mapped buffers.
// The reader runs one thread of its own, "camera", which dequeues driver
// buffers and copies each frame out under `mutex`. It ends when the device
// fails (unplugged): the reader then delivers nothing more, and its owner
// (UsbCamera) notices the silence and opens the camera again with a new reader.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace camera_base {

class CameraRead {
public:
    virtual ~CameraRead() = default;
    virtual unsigned get_width() = 0;
    virtual unsigned get_height() = 0;
    virtual unsigned get_fps() = 0;
    // Bytes of the last frame copied out.
    virtual unsigned get_frame_size() = 0;
    // The frame buffer once the next frame has been copied into it; null on time-out or stop.
    virtual uint8_t* get_frame() = 0;
    // Waits for a frame not read before and copies it to dst; 0, or -1 when stopped.
    virtual int read_frame(uint8_t* dst) = 0;
    virtual bool reopen() = 0;
    // Copies the last delivered frame (at most `capacity` bytes) to dst while
    // the capture thread is kept from overwriting it; returns the bytes copied.
    // Readers use this instead of reading the frame buffer behind its back.
    virtual unsigned copy_last_frame(uint8_t* dst, std::size_t capacity) = 0;
};

// Four-character V4L2 pixel code, e.g. fourcc("MJPG").
constexpr uint32_t fourcc(const char (&code)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) | (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8)
        | (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16)
        | (static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24);
}
// The code of a text such as "MJPG"; 0 when it is not four characters.
uint32_t fourccFromText(const std::string& text);

class usb_rgb_camera_read_impl : public CameraRead {
public:
    usb_rgb_camera_read_impl() = default;
    ~usb_rgb_camera_read_impl() override;
    usb_rgb_camera_read_impl(const usb_rgb_camera_read_impl&) = delete;
    usb_rgb_camera_read_impl& operator=(const usb_rgb_camera_read_impl&) = delete;

    bool open();
    void close();

    unsigned get_width() override { return width; }
    unsigned get_height() override { return height; }
    unsigned get_fps() override { return fps; }
    unsigned get_frame_size() override;
    uint8_t* get_frame() override;
    int read_frame(uint8_t* dst) override;
    bool reopen() override;
    unsigned copy_last_frame(uint8_t* dst, std::size_t capacity) override;
    // Frames dropped because they did not fit the destination buffer.
    uint64_t frames_dropped();

    // Configuration, set before open().
    std::string dev_name;
    unsigned width = 1920;
    unsigned height = 1080;
    unsigned fps = 30;
    uint32_t pixel_format = fourcc("NV12");
    uint8_t* external_buffer = nullptr;  // not owned
    std::size_t external_buffer_size = 0;
    int timeout_ms = 0;

    std::atomic<bool> stop{false};

private:
    // Hands buffers to deliver_frame() in tests, as the capture thread does.
    friend struct UsbReaderDeliveryHook;

    struct MappedBuffer {
        void* start = nullptr;
        std::size_t length = 0;
    };

    bool open_device();
    bool init_device();
    bool init_mmap();
    bool start_capturing();
    // open() without taking device_mutex_.
    bool open_locked();
    // Joins a capture thread that has ended (or been told to stop); caller holds device_mutex_.
    void join_capture_thread();
    // Unmaps the buffers and closes the descriptor; true when all went well.
    bool release_device();
    void capture_camera_loop();
    // Copies a dequeued buffer out under `mutex`; false when it had to be dropped.
    bool deliver_frame(const MappedBuffer& buffer, std::size_t used);

    int fd = -1;
    bool streaming_ = false;  // STREAMON succeeded on fd
    unsigned n_buffers_m = 0;
    std::vector<MappedBuffer> buffers;
    std::unique_ptr<uint8_t[]> frame_buffer;
    std::size_t frame_buffer_size = 0;
    unsigned frame_size = 0;
    uint64_t frame_sequence_ = 0;  // frames delivered so far, guarded by `mutex`
    uint64_t frames_read_ = 0;     // sequence of the last frame read_frame() returned
    uint64_t frames_dropped_ = 0;  // guarded by `mutex`

    std::mutex mutex;
    std::condition_variable frame_cv;
    // Serialises open() and close(), which may come from different threads.
    std::mutex device_mutex_;
    std::thread capture_thread;
};

} // namespace camera_base
