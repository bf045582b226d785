#pragma once
// One JPEG image (a frame of an MJPEG stream) -> one NV12 preview buffer of a
// fixed size. One decoder belongs to each camera's preview; a decoder is not
// shared between threads (it keeps scratch buffers between calls).

#include <cstdint>
#include <memory>

// True when the environment asks for the hardware JPEG decoder
// ("ROCKCHIP_HW_ACCEL" equal to "1").
bool rockchip_hw_accel_env_enabled();

// True when the bytes hold a whole JPEG image: the marker segments, the
// entropy-coded data of every scan and the end-of-image marker (padding after
// it is allowed). A frame cut short in transfer fails this.
bool jpeg_frame_complete(const uint8_t* data, int size);

class rk_mjpeg_decoder_v2 {
public:
    rk_mjpeg_decoder_v2(int width, int height);
    ~rk_mjpeg_decoder_v2();
    rk_mjpeg_decoder_v2(const rk_mjpeg_decoder_v2&) = delete;
    rk_mjpeg_decoder_v2& operator=(const rk_mjpeg_decoder_v2&) = delete;

    // The preview path: decodes `size` bytes of JPEG at `data` into `out`, which
    // holds width x height x 3 / 2 bytes of NV12 (Y plane, then interleaved
    // U,V at half resolution). Uses libjpeg-turbo straight to YUV planes and
    // falls back to decode_sw for frames it cannot handle. On false `out` is
    // left untouched.
    bool decode(const uint8_t* data, int size, uint8_t* out);

    // The OpenCV software path (decode to BGR, resize, BGR -> I420 -> NV12).
    bool decode_sw(const uint8_t* data, int size, uint8_t* out);

    // The libjpeg-turbo path alone; false (without a log line) when it cannot
    // handle the frame, so that the caller may fall back.
    bool decode_turbo(const uint8_t* data, int size, uint8_t* out);

    int hw_mode = 0; // 1 = hardware decoder, 0 = software; always 0 in this build
    int width = 0;   // output width in pixels
    int height = 0;  // output height in pixels

private:
    struct TurboState;
    std::unique_ptr<TurboState> turbo_;
};
