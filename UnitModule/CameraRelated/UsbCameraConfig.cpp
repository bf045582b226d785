#include "UsbCameraConfig.h"

#include "Log.h"
#include "config_manager.h"
#include "v4l2_usb_read.h"

std::vector<CameraConfig> usbCameraConfigs(const camera_entry& entry)
{
    if (entry.camera_id != 1)
        return {};
    uint32_t code = camera_base::fourccFromText(entry.pixel_format);
    if (code == 0) {
        LOGW << "USB camera pixel_format \"" << entry.pixel_format << "\" is not a four-character code, using MJPG";
        code = camera_base::fourcc("MJPG");
    }
    CameraConfig request;
    request.streamType = static_cast<int32_t>(code);
    request.format = 0;
    request.width = entry.width;
    request.height = entry.height;
    request.fps = entry.fps;
    return {request};
}
