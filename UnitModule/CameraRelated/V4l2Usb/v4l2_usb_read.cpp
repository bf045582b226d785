#include "v4l2_usb_read.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include "CameraThread.h"
#include "Log.h"

namespace camera_base {
namespace {

constexpr unsigned kRequestedBuffers = 4;
constexpr int kPollTimeoutMs = 50;

// Every ioctl is repeated while a signal interrupts it.
int xioctl(int fd, unsigned long request, void* arg)
{
    int result;
    do {
        result = ioctl(fd, request, arg);
    } while (result == -1 && errno == EINTR);
    return result;
}

bool needsOwnBuffer(uint32_t format)
{
    return format == fourcc("YUYV") || format == fourcc("MJPG");
}

} // namespace

uint32_t fourccFromText(const std::string& text)
{
    if (text.size() != 4)
        return 0;
    const char code[5] = {text[0], text[1], text[2], text[3], 0};
    return fourcc(code);
}

usb_rgb_camera_read_impl::~usb_rgb_camera_read_impl()
{
    close();
    std::lock_guard<std::mutex> device(device_mutex_);
    join_capture_thread();
}

bool usb_rgb_camera_read_impl::open()
{
    std::lock_guard<std::mutex> device(device_mutex_);
    return open_locked();
}

bool usb_rgb_camera_read_impl::open_locked()
{
    // A capture thread that ended on a device error still holds the old
    // descriptor and mappings: let it go before opening again.
    join_capture_thread();
    release_device();

    {
        std::lock_guard<std::mutex> lock(mutex);
        frame_buffer.reset();
        frame_buffer_size = 0;
        if (needsOwnBuffer(pixel_format) && !external_buffer) {
            frame_buffer_size = static_cast<std::size_t>(width) * height * 2;
            frame_buffer = std::make_unique<uint8_t[]>(frame_buffer_size);
        }
    }
    if (!open_device())
        return false;
    if (!init_device() || !init_mmap() || !start_capturing()) {
        release_device();
        return false;
    }
    return true;
}

bool usb_rgb_camera_read_impl::open_device()
{
    struct stat st {};
    if (stat(dev_name.c_str(), &st) == -1) {
        LOGE << "Cannot identify1 " << dev_name << ": " << errno << ", " << strerror(errno);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        LOGE << "Cannot identify2 " << dev_name << " is no device";
        return false;
    }
    fd = ::open(dev_name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) {
        LOGE << "Cannot open " << dev_name << ": " << errno << ", " << strerror(errno);
        return false;
    }
    return true;
}

bool usb_rgb_camera_read_impl::init_device()
{
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) {
        if (errno == EINVAL)
            LOGE << dev_name << " is no V4L2 device";
        else
            LOGE << "VIDIOC_QUERYCAP failed: " << strerror(errno);
        return false;
    }
    if (!(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE)) {
        LOGE << dev_name << " is no video capture device";
        return false;
    }
    if (!(cap.capabilities & V4L2_CAP_STREAMING)) {
        LOGE << dev_name << " does not support streaming i/o";
        return false;
    }

    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        xioctl(fd, VIDIOC_S_CROP, &crop);  // cropping is optional for UVC cameras
    }

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = pixel_format;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) == -1) {
        LOGE << "VIDIOC_S_FMT failed: " << strerror(errno);
        return false;
    }
    // Some drivers report too small a line or image size.
    fmt.fmt.pix.bytesperline = std::max(fmt.fmt.pix.bytesperline, width * 2);
    fmt.fmt.pix.sizeimage = std::max(fmt.fmt.pix.sizeimage, fmt.fmt.pix.bytesperline * height);

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = fps;
    if (xioctl(fd, VIDIOC_S_PARM, &parm) == -1) {
        LOGE << "Setting frame rate: " << strerror(errno);
        return false;
    }
    return true;
}

bool usb_rgb_camera_read_impl::init_mmap()
{
    v4l2_requestbuffers req{};
    req.count = kRequestedBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            LOGE << dev_name << " memory mapping not supported";
        else
            LOGE << "VIDIOC_REQBUFS failed: " << strerror(errno);
        return false;
    }
    if (req.count < 2) {
        LOGE << "Insufficient buffer memory on " << dev_name;
        return false;
    }
    try {
        buffers.assign(req.count, MappedBuffer{});
    } catch (const std::bad_alloc&) {
        LOGE << "Out of memory";
        return false;
    }
    for (n_buffers_m = 0; n_buffers_m < req.count; ++n_buffers_m) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = n_buffers_m;
        if (xioctl(fd, VIDIOC_QUERYBUF, &buf) == -1) {
            LOGE << "VIDIOC_QUERYBUF failed: " << strerror(errno);
            return false;
        }
        void* start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
        if (start == MAP_FAILED) {
            LOGE << "buffer " << n_buffers_m << " mapped failed: " << strerror(errno);
            return false;
        }
        buffers[n_buffers_m] = {start, buf.length};
    }
    return true;
}

bool usb_rgb_camera_read_impl::start_capturing()
{
    for (unsigned i = 0; i < n_buffers_m; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(fd, VIDIOC_QBUF, &buf) == -1) {
            LOGE << "VIDIOC_QBUF failed: " << strerror(errno);
            return false;
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMON, &type) == -1) {
        LOGE << "VIDIOC_STREAMON failed: " << strerror(errno);
        return false;
    }
    streaming_ = true;
    capture_thread = std::thread([this] { capture_camera_loop(); });
    pinCameraThread(capture_thread, 3, "camera");
    return true;
}

void usb_rgb_camera_read_impl::join_capture_thread()
{
    if (capture_thread.joinable() && std::this_thread::get_id() != capture_thread.get_id())
        capture_thread.join();
}

bool usb_rgb_camera_read_impl::release_device()
{
    if (fd == -1)
        return true;
    bool ok = true;
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (streaming_ && xioctl(fd, VIDIOC_STREAMOFF, &type) == -1) {
        LOGE << "VIDIOC_STREAMOFF failed: " << strerror(errno);
        ok = false;
    }
    streaming_ = false;
    for (unsigned i = 0; i < n_buffers_m && i < buffers.size(); ++i) {
        if (buffers[i].start && munmap(buffers[i].start, buffers[i].length) == -1) {
            LOGE << "munmap failed: " << strerror(errno);
            ok = false;
            break;
        }
    }
    buffers.clear();
    n_buffers_m = 0;
    if (::close(fd) == -1) {
        LOGE << "close failed: " << strerror(errno);
        ok = false;
    }
    fd = -1;
    return ok;
}

void usb_rgb_camera_read_impl::close()
{
    LOGI << "close camera";
    // Set under each waiter's mutex so that no waiter misses the wake-up.
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    frame_cv.notify_all();
    {
        std::lock_guard<std::mutex> device(device_mutex_);
        // The capture thread reads the mapped buffers: it must be gone before they are unmapped.
        join_capture_thread();
        release_device();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        frame_buffer.reset();
        frame_buffer_size = 0;
    }
    LOGI << "close camera ok";
}

bool usb_rgb_camera_read_impl::reopen()
{
    close();
    stop = false;
    return open();
}

unsigned usb_rgb_camera_read_impl::get_frame_size()
{
    std::lock_guard<std::mutex> lock(mutex);
    return frame_size;
}

uint8_t* usb_rgb_camera_read_impl::get_frame()
{
    if (stop)
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex);
    // Always the next frame: one that arrived before this call does not count.
    const uint64_t seen = frame_sequence_;
    const bool arrived = frame_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
        [&] { return stop || frame_sequence_ != seen; });
    if (stop)
        return nullptr;
    if (!arrived) {
        LOGE << "get_frame time out: " << timeout_ms << " ms";
        return nullptr;
    }
    return external_buffer ? external_buffer : frame_buffer.get();
}

int usb_rgb_camera_read_impl::read_frame(uint8_t* dst)
{
    std::unique_lock<std::mutex> lock(mutex);
    frame_cv.wait(lock, [&] { return stop || frame_sequence_ != frames_read_; });
    if (stop)
        return -1;
    const uint8_t* source = external_buffer ? external_buffer : frame_buffer.get();
    if (dst && source)
        std::memcpy(dst, source, frame_size);
    frames_read_ = frame_sequence_;
    return 0;
}

unsigned usb_rgb_camera_read_impl::copy_last_frame(uint8_t* dst, std::size_t capacity)
{
    std::lock_guard<std::mutex> lock(mutex);
    const uint8_t* source = external_buffer ? external_buffer : frame_buffer.get();
    if (!dst || !source)
        return 0;
    const std::size_t bytes = std::min<std::size_t>(frame_size, capacity);
    std::memcpy(dst, source, bytes);
    return static_cast<unsigned>(bytes);
}

uint64_t usb_rgb_camera_read_impl::frames_dropped()
{
    std::lock_guard<std::mutex> lock(mutex);
    return frames_dropped_;
}

bool usb_rgb_camera_read_impl::deliver_frame(const MappedBuffer& buffer, std::size_t used)
{
    std::lock_guard<std::mutex> lock(mutex);
    uint8_t* destination = external_buffer ? external_buffer : frame_buffer.get();
    const std::size_t capacity = external_buffer ? external_buffer_size : frame_buffer_size;
    used = std::min(used, buffer.length);
    if (destination && used > capacity) {
        // A truncated JPEG is worse than a missing one: drop the frame. A camera
        // that sends one such frame usually sends them all: warn once, count the rest.
        if (frames_dropped_++ == 0)
            LOGW << "frame of " << used << " bytes does not fit the " << capacity
                 << "-byte buffer, dropped (later ones are only counted)";
        return false;
    }
    if (destination)
        std::memcpy(destination, buffer.start, used);
    frame_size = static_cast<unsigned>(used);
    ++frame_sequence_;
    frame_cv.notify_all();
    return true;
}

void usb_rgb_camera_read_impl::capture_camera_loop()
{
    while (!stop) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, kPollTimeoutMs);
        if (ready == -1) {
            if (errno == EINTR)
                continue;
            LOGE << "poll failed: " << strerror(errno);
            return;
        }
        if (ready == 0 || !(pfd.revents & POLLIN)) {
            if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                // An unplugged camera reports an error on every poll.
                LOGE << "poll failed: device error on " << dev_name;
                return;
            }
            LOGE << "poll timeout" << dev_name;
            continue;
        }

        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_DQBUF, &buf) == -1) {
            if (errno == EAGAIN)
                continue;
            if (errno != EIO) {
                // The device is gone or broken: end here; the owner opens it again.
                LOGE << "VIDIOC_DQBUF failed: " << strerror(errno);
                return;
            }
        }
        if (buf.index >= n_buffers_m)
            continue;
        deliver_frame(buffers[buf.index], buf.bytesused);
        if (xioctl(fd, VIDIOC_QBUF, &buf) == -1) {
            LOGE << "VIDIOC_QBUF failed: " << strerror(errno);
            return;
        }
    }
}

} // namespace camera_base
