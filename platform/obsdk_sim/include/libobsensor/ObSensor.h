/*
 * Depth camera SDK boundary: the plain C calls the capture code makes.
 *
 * This is our stand-in for the camera vendor's closed SDK (version 2). It
 * offers the same calls with the same calling convention: every function
 * takes a trailing `ob_error **error` out-parameter that is set (and must be
 * freed with ob_delete_error) when the call fails. Handles returned by the
 * SDK are owned by the caller and released with the matching ob_delete_*.
 *
 * Behind these calls sits a simulated camera (see the platform README text);
 * on a board the same capture code builds against the vendor's headers and
 * library instead (CMake option KAVREL_USE_VENDOR_OBSDK).
 */
#ifndef KAVREL_OBSDK_SIM_OBSENSOR_H
#define KAVREL_OBSDK_SIM_OBSENSOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- enumerations (numeric values are fixed by the device protocol) ---- */

typedef enum {
    OB_STATUS_OK = 0,
    OB_STATUS_ERROR = 1,
} OBStatus,
    ob_status;

typedef enum {
    OB_EXCEPTION_TYPE_UNKNOWN = 0,
    OB_EXCEPTION_STD_EXCEPTION = 1,
    OB_EXCEPTION_TYPE_CAMERA_DISCONNECTED = 2,
    OB_EXCEPTION_TYPE_PLATFORM = 3,
    OB_EXCEPTION_TYPE_INVALID_VALUE = 4,
    OB_EXCEPTION_TYPE_WRONG_API_CALL_SEQUENCE = 5,
    OB_EXCEPTION_TYPE_NOT_IMPLEMENTED = 6,
    OB_EXCEPTION_TYPE_IO = 7,
    OB_EXCEPTION_TYPE_MEMORY = 8,
    OB_EXCEPTION_TYPE_UNSUPPORTED_OPERATION = 9,
} OBExceptionType,
    ob_exception_type;

typedef enum {
    OB_SENSOR_UNKNOWN = 0,
    OB_SENSOR_IR = 1,
    OB_SENSOR_COLOR = 2,
    OB_SENSOR_DEPTH = 3,
    OB_SENSOR_ACCEL = 4,
    OB_SENSOR_GYRO = 5,
    OB_SENSOR_IR_LEFT = 6,
    OB_SENSOR_IR_RIGHT = 7,
} OBSensorType,
    ob_sensor_type;

typedef enum {
    OB_STREAM_UNKNOWN = -1,
    OB_STREAM_VIDEO = 0,
    OB_STREAM_IR = 1,
    OB_STREAM_COLOR = 2,
    OB_STREAM_DEPTH = 3,
    OB_STREAM_ACCEL = 4,
    OB_STREAM_GYRO = 5,
    OB_STREAM_IR_LEFT = 6,
    OB_STREAM_IR_RIGHT = 7,
} OBStreamType,
    ob_stream_type;

typedef enum {
    OB_FRAME_UNKNOWN = -1,
    OB_FRAME_VIDEO = 0,
    OB_FRAME_IR = 1,
    OB_FRAME_COLOR = 2,
    OB_FRAME_DEPTH = 3,
    OB_FRAME_ACCEL = 4,
    OB_FRAME_SET = 5,
    OB_FRAME_POINTS = 6,
    OB_FRAME_GYRO = 7,
    OB_FRAME_IR_LEFT = 8,
    OB_FRAME_IR_RIGHT = 9,
} OBFrameType,
    ob_frame_type;

typedef enum {
    OB_FORMAT_YUYV = 0,
    OB_FORMAT_YUY2 = 1,
    OB_FORMAT_UYVY = 2,
    OB_FORMAT_NV12 = 3,
    OB_FORMAT_NV21 = 4,
    OB_FORMAT_MJPG = 5,
    OB_FORMAT_H264 = 6,
    OB_FORMAT_H265 = 7,
    OB_FORMAT_Y16 = 8,
    OB_FORMAT_Y8 = 9,
    OB_FORMAT_Y10 = 10,
    OB_FORMAT_Y11 = 11,
    OB_FORMAT_Y12 = 12,
    OB_FORMAT_GRAY = 13,
    OB_FORMAT_HEVC = 14,
    OB_FORMAT_I420 = 15,
    OB_FORMAT_ACCEL = 16,
    OB_FORMAT_GYRO = 17,
    OB_FORMAT_POINT = 19,
    OB_FORMAT_RGB_POINT = 20,
    OB_FORMAT_RLE = 21,
    OB_FORMAT_RGB = 22,
    OB_FORMAT_BGR = 23,
    OB_FORMAT_Y14 = 24,
    OB_FORMAT_BGRA = 25,
    OB_FORMAT_COMPRESSED = 26,
    OB_FORMAT_RVL = 27,
    OB_FORMAT_Z16 = 28,
    OB_FORMAT_YV12 = 29,
    OB_FORMAT_BA81 = 30,
    OB_FORMAT_RGBA = 31,
    OB_FORMAT_BYR2 = 32,
    OB_FORMAT_RW16 = 33,
    OB_FORMAT_UNKNOWN = 0xff,
} OBFormat,
    ob_format;

/* Frame aggregation of a pipeline's frame sets. */
typedef enum {
    OB_FRAME_AGGREGATE_OUTPUT_ALL_TYPE_FRAME_REQUIRE = 0,
    OB_FRAME_AGGREGATE_OUTPUT_COLOR_FRAME_REQUIRE = 1,
    OB_FRAME_AGGREGATE_OUTPUT_ANY_SITUATION = 2,
    OB_FRAME_AGGREGATE_OUTPUT_DISABLE = 3,
} OBFrameAggregateOutputMode,
    ob_frame_aggregate_output_mode;

/* IMU sample rates; 8 is 200 Hz. */
typedef enum {
    OB_SAMPLE_RATE_UNKNOWN = 0,
    OB_SAMPLE_RATE_1_5625_HZ = 1,
    OB_SAMPLE_RATE_3_125_HZ = 2,
    OB_SAMPLE_RATE_6_25_HZ = 3,
    OB_SAMPLE_RATE_12_5_HZ = 4,
    OB_SAMPLE_RATE_25_HZ = 5,
    OB_SAMPLE_RATE_50_HZ = 6,
    OB_SAMPLE_RATE_100_HZ = 7,
    OB_SAMPLE_RATE_200_HZ = 8,
    OB_SAMPLE_RATE_500_HZ = 9,
    OB_SAMPLE_RATE_1_KHZ = 10,
    OB_SAMPLE_RATE_2_KHZ = 11,
    OB_SAMPLE_RATE_4_KHZ = 12,
    OB_SAMPLE_RATE_8_KHZ = 13,
    OB_SAMPLE_RATE_16_KHZ = 14,
    OB_SAMPLE_RATE_32_KHZ = 15,
} OBIMUSampleRate,
    OBGyroSampleRate, OBAccelSampleRate, ob_gyro_sample_rate, ob_accel_sample_rate;

/* Full-scale ranges; -1 lets the device choose. */
typedef enum {
    OB_GYRO_FS_ANY = -1,
    OB_GYRO_FS_UNKNOWN = 0,
    OB_GYRO_FS_16dps = 1,
    OB_GYRO_FS_31dps = 2,
    OB_GYRO_FS_62dps = 3,
    OB_GYRO_FS_125dps = 4,
    OB_GYRO_FS_250dps = 5,
    OB_GYRO_FS_500dps = 6,
    OB_GYRO_FS_1000dps = 7,
    OB_GYRO_FS_2000dps = 8,
} OBGyroFullScaleRange,
    ob_gyro_full_scale_range;

typedef enum {
    OB_ACCEL_FS_ANY = -1,
    OB_ACCEL_FS_UNKNOWN = 0,
    OB_ACCEL_FS_2g = 1,
    OB_ACCEL_FS_4g = 2,
    OB_ACCEL_FS_8g = 3,
    OB_ACCEL_FS_16g = 4,
} OBAccelFullScaleRange,
    ob_accel_full_scale_range;

/* Value of the "AlignType" setting of the "Align" filter. */
typedef enum {
    ALIGN_DISABLE = 0,
    ALIGN_D2C_HW_MODE = 1,
    ALIGN_D2C_SW_MODE = 2,
} OBAlignMode,
    ob_align_mode;

typedef struct {
    float x;
    float y;
    float z;
} OBFloat3D, OBAccelValue, OBGyroValue, ob_float_3d, ob_accel_value, ob_gyro_value;

/* ---- calibration ---- */

/* Pinhole model of a video stream, in pixels at the stream's own size. */
typedef struct {
    float fx;
    float fy;
    float cx;
    float cy;
    int16_t width;
    int16_t height;
} OBCameraIntrinsic, ob_camera_intrinsic;

typedef enum {
    OB_DISTORTION_NONE = 0,
    OB_DISTORTION_MODIFIED_BROWN_CONRADY = 1,
    OB_DISTORTION_INVERSE_BROWN_CONRADY = 2,
    OB_DISTORTION_BROWN_CONRADY = 3,
    OB_DISTORTION_BROWN_CONRADY_K6 = 4,
    OB_DISTORTION_KANNALA_BRANDT4 = 5,
} OBCameraDistortionModel,
    ob_camera_distortion_model;

/* Lens distortion: radial k1..k6 and tangential p1, p2 of the given model. */
typedef struct {
    float k1;
    float k2;
    float k3;
    float k4;
    float k5;
    float k6;
    float p1;
    float p2;
    OBCameraDistortionModel model;
} OBCameraDistortion, ob_camera_distortion;

/* Rigid transform from a source stream's frame to a target's: p_target = rot * p_source + trans;
 * rot row-major, trans in millimetres. */
typedef struct {
    float rot[9];
    float trans[3];
} OBExtrinsic, OBD2CTransform, ob_extrinsic, ob_d2c_transform;

/* Accelerometer noise and bias (m/s^2; noise density m/s^2/sqrt(Hz), random walk m/s^3/sqrt(Hz)). */
typedef struct {
    double noiseDensity;
    double randomWalk;
    double referenceTemp;
    double bias[3];
    double gravity[3];
    double scaleMisalignment[9];
    double tempSlope[9];
} OBAccelIntrinsic, ob_accel_intrinsic;

/* Gyroscope noise and bias (rad/s; noise density rad/s/sqrt(Hz), random walk rad/s^2/sqrt(Hz)). */
typedef struct {
    double noiseDensity;
    double randomWalk;
    double referenceTemp;
    double bias[3];
    double scaleMisalignment[9];
    double tempSlope[9];
} OBGyroIntrinsic, ob_gyro_intrinsic;

/* ---- handles ---- */

typedef struct ob_error {
    ob_status status;
    char message[256];
    char function[256];
    char args[256];
    ob_exception_type exception_type;
} ob_error;

typedef struct ob_pipeline_t ob_pipeline;
typedef struct ob_config_t ob_config;
typedef struct ob_device_t ob_device;
typedef struct ob_device_info_t ob_device_info;
typedef struct ob_sensor_list_t ob_sensor_list;
typedef struct ob_sensor_t ob_sensor;
typedef struct ob_stream_profile_t ob_stream_profile;
typedef struct ob_stream_profile_list_t ob_stream_profile_list;
typedef struct ob_frame_t ob_frame;
typedef struct ob_filter_t ob_filter;

/* Both callbacks receive a frame that the callee owns (release with ob_delete_frame). */
typedef void (*ob_frameset_callback)(ob_frame *frameset, void *user_data);
typedef void (*ob_filter_callback)(ob_frame *frame, void *user_data);

/* ---- errors ---- */

ob_status ob_error_get_status(const ob_error *error);
const char *ob_error_get_message(const ob_error *error);
const char *ob_error_get_function(const ob_error *error);
const char *ob_error_get_args(const ob_error *error);
ob_exception_type ob_error_get_exception_type(const ob_error *error);
void ob_delete_error(ob_error *error);

/* ---- pipeline ---- */

ob_pipeline *ob_create_pipeline(ob_error **error);
ob_pipeline *ob_create_pipeline_with_device(const ob_device *dev, ob_error **error);
void ob_delete_pipeline(ob_pipeline *pipeline, ob_error **error);
ob_device *ob_pipeline_get_device(const ob_pipeline *pipeline, ob_error **error);
void ob_pipeline_start_with_config(ob_pipeline *pipeline, const ob_config *config, ob_error **error);
void ob_pipeline_start_with_callback(ob_pipeline *pipeline, const ob_config *config, ob_frameset_callback callback,
                                     void *user_data, ob_error **error);
/* Returns the next frame set, or NULL when none arrives within timeout_ms. */
ob_frame *ob_pipeline_wait_for_frameset(ob_pipeline *pipeline, uint32_t timeout_ms, ob_error **error);
void ob_pipeline_stop(ob_pipeline *pipeline, ob_error **error);

/* ---- config ---- */

ob_config *ob_create_config(ob_error **error);
void ob_delete_config(ob_config *config, ob_error **error);
void ob_config_enable_video_stream(ob_config *config, ob_stream_type stream_type, uint32_t width, uint32_t height,
                                   uint32_t fps, ob_format format, ob_error **error);
void ob_config_enable_accel_stream(ob_config *config, ob_accel_full_scale_range full_scale_range,
                                   ob_accel_sample_rate sample_rate, ob_error **error);
void ob_config_enable_gyro_stream(ob_config *config, ob_gyro_full_scale_range full_scale_range,
                                  ob_gyro_sample_rate sample_rate, ob_error **error);
void ob_config_set_frame_aggregate_output_mode(ob_config *config, ob_frame_aggregate_output_mode mode,
                                               ob_error **error);
ob_stream_profile_list *ob_config_get_enabled_stream_profile_list(const ob_config *config, ob_error **error);

/* ---- stream profiles ---- */

uint32_t ob_stream_profile_list_get_count(const ob_stream_profile_list *profile_list, ob_error **error);
ob_stream_profile *ob_stream_profile_list_get_profile(const ob_stream_profile_list *profile_list, int index,
                                                      ob_error **error);
void ob_delete_stream_profile_list(const ob_stream_profile_list *profile_list, ob_error **error);
ob_stream_type ob_stream_profile_get_type(const ob_stream_profile *profile, ob_error **error);
ob_format ob_stream_profile_get_format(const ob_stream_profile *profile, ob_error **error);
uint32_t ob_video_stream_profile_get_width(const ob_stream_profile *profile, ob_error **error);
uint32_t ob_video_stream_profile_get_height(const ob_stream_profile *profile, ob_error **error);
uint32_t ob_video_stream_profile_get_fps(const ob_stream_profile *profile, ob_error **error);
void ob_delete_stream_profile(const ob_stream_profile *profile, ob_error **error);
/* Calibration: a device that holds none fails these calls. */
OBCameraIntrinsic ob_video_stream_profile_get_intrinsic(const ob_stream_profile *profile, ob_error **error);
OBCameraDistortion ob_video_stream_profile_get_distortion(const ob_stream_profile *profile, ob_error **error);
OBExtrinsic ob_stream_profile_get_extrinsic_to(const ob_stream_profile *source, const ob_stream_profile *target,
                                               ob_error **error);
OBAccelIntrinsic ob_accel_stream_profile_get_intrinsic(const ob_stream_profile *profile, ob_error **error);
OBGyroIntrinsic ob_gyro_stream_profile_get_intrinsic(const ob_stream_profile *profile, ob_error **error);

/* ---- device and sensors ---- */

void ob_delete_device(ob_device *device, ob_error **error);
ob_device_info *ob_device_get_device_info(const ob_device *device, ob_error **error);
const char *ob_device_info_get_name(const ob_device_info *info, ob_error **error);
const char *ob_device_info_get_serial_number(const ob_device_info *info, ob_error **error);
const char *ob_device_info_get_firmware_version(const ob_device_info *info, ob_error **error);
void ob_delete_device_info(ob_device_info *info, ob_error **error);
ob_sensor_list *ob_device_get_sensor_list(const ob_device *device, ob_error **error);
uint32_t ob_sensor_list_get_count(const ob_sensor_list *sensor_list, ob_error **error);
ob_sensor_type ob_sensor_list_get_sensor_type(const ob_sensor_list *sensor_list, uint32_t index, ob_error **error);
ob_sensor *ob_sensor_list_get_sensor(const ob_sensor_list *sensor_list, uint32_t index, ob_error **error);
void ob_delete_sensor_list(ob_sensor_list *sensor_list, ob_error **error);
ob_sensor_type ob_sensor_get_type(const ob_sensor *sensor, ob_error **error);
void ob_delete_sensor(ob_sensor *sensor, ob_error **error);

/* ---- filters ---- */

ob_filter *ob_create_filter(const char *name, ob_error **error);
const char *ob_filter_get_name(const ob_filter *filter, ob_error **error);
void ob_filter_set_config_value(ob_filter *filter, const char *config_name, double value, ob_error **error);
double ob_filter_get_config_value(const ob_filter *filter, const char *config_name, ob_error **error);
/* Processes one frame on the caller's thread; the result is owned by the caller. */
ob_frame *ob_filter_process(ob_filter *filter, const ob_frame *frame, ob_error **error);
void ob_filter_set_callback(ob_filter *filter, ob_filter_callback callback, void *user_data, ob_error **error);
/* Queues one frame; the result reaches the callback on the filter's own thread. */
void ob_filter_push_frame(ob_filter *filter, const ob_frame *frame, ob_error **error);
void ob_delete_filter(ob_filter *filter, ob_error **error);

/* ---- frames ---- */

/* Frames are reference counted: add_ref takes one more reference, delete drops one. */
void ob_frame_add_ref(const ob_frame *frame, ob_error **error);
void ob_delete_frame(const ob_frame *frame, ob_error **error);
ob_frame_type ob_frame_get_type(const ob_frame *frame, ob_error **error);
ob_format ob_frame_get_format(const ob_frame *frame, ob_error **error);
uint64_t ob_frame_get_index(const ob_frame *frame, ob_error **error);
uint8_t *ob_frame_get_data(const ob_frame *frame, ob_error **error);
uint32_t ob_frame_get_data_size(const ob_frame *frame, ob_error **error);
/* Device clock, microseconds. */
uint64_t ob_frame_get_timestamp_us(const ob_frame *frame, ob_error **error);
/* Host clock at arrival, microseconds. */
uint64_t ob_frame_get_system_timestamp_us(const ob_frame *frame, ob_error **error);
/* The profile of the stream the frame belongs to (owned by the caller); frame sets have none. */
ob_stream_profile *ob_frame_get_stream_profile(const ob_frame *frame, ob_error **error);
uint32_t ob_video_frame_get_width(const ob_frame *frame, ob_error **error);
uint32_t ob_video_frame_get_height(const ob_frame *frame, ob_error **error);
/* Millimetres per depth count. */
float ob_depth_frame_get_value_scale(const ob_frame *frame, ob_error **error);
ob_accel_value ob_accel_frame_get_value(const ob_frame *frame, ob_error **error);
ob_gyro_value ob_gyro_frame_get_value(const ob_frame *frame, ob_error **error);
uint32_t ob_frameset_get_count(const ob_frame *frameset, ob_error **error);
/* A new reference to the member frame of that type, or NULL when absent. */
ob_frame *ob_frameset_get_frame(const ob_frame *frameset, ob_frame_type frame_type, ob_error **error);

#ifdef __cplusplus
}
#endif

#endif /* KAVREL_OBSDK_SIM_OBSENSOR_H */
