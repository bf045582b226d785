// First cut of the simulated camera: every call reports "not implemented".
#include <cstdio>
#include <cstring>
#include "libobsensor/ObSensor.h"

namespace {
void fail(ob_error** error, const char* function)
{
    if (!error) return;
    auto* e = new ob_error{};
    e->status = OB_STATUS_ERROR;
    std::snprintf(e->message, sizeof e->message, "%s", "not implemented");
    std::snprintf(e->function, sizeof e->function, "%s", function);
    e->exception_type = OB_EXCEPTION_TYPE_NOT_IMPLEMENTED;
    *error = e;
}
} // namespace

extern "C" {
ob_pipeline * ob_create_pipeline(ob_error **error)
{
    fail(error, "ob_create_pipeline");
    return {};
}
ob_pipeline * ob_create_pipeline_with_device(const ob_device *dev, ob_error **error)
{
    fail(error, "ob_create_pipeline_with_device");
    return {};
}
void ob_delete_pipeline(ob_pipeline *pipeline, ob_error **error)
{
    fail(error, "ob_delete_pipeline");
}
ob_device * ob_pipeline_get_device(const ob_pipeline *pipeline, ob_error **error)
{
    fail(error, "ob_pipeline_get_device");
    return {};
}
void ob_pipeline_start_with_config(ob_pipeline *pipeline, const ob_config *config, ob_error **error)
{
    fail(error, "ob_pipeline_start_with_config");
}
void ob_pipeline_start_with_callback(ob_pipeline *pipeline, const ob_config *config, ob_frameset_callback callback, void *user_data, ob_error **error)
{
    fail(error, "ob_pipeline_start_with_callback");
}
ob_frame * ob_pipeline_wait_for_frameset(ob_pipeline *pipeline, uint32_t timeout_ms, ob_error **error)
{
    fail(error, "ob_pipeline_wait_for_frameset");
    return {};
}
void ob_pipeline_stop(ob_pipeline *pipeline, ob_error **error)
{
    fail(error, "ob_pipeline_stop");
}
ob_config * ob_create_config(ob_error **error)
{
    fail(error, "ob_create_config");
    return {};
}
void ob_delete_config(ob_config *config, ob_error **error)
{
    fail(error, "ob_delete_config");
}
void ob_config_enable_video_stream(ob_config *config, ob_stream_type stream_type, uint32_t width, uint32_t height, uint32_t fps, ob_format format, ob_error **error)
{
    fail(error, "ob_config_enable_video_stream");
}
void ob_config_enable_accel_stream(ob_config *config, ob_accel_full_scale_range full_scale_range, ob_accel_sample_rate sample_rate, ob_error **error)
{
    fail(error, "ob_config_enable_accel_stream");
}
void ob_config_enable_gyro_stream(ob_config *config, ob_gyro_full_scale_range full_scale_range, ob_gyro_sample_rate sample_rate, ob_error **error)
{
    fail(error, "ob_config_enable_gyro_stream");
}
void ob_config_set_frame_aggregate_output_mode(ob_config *config, ob_frame_aggregate_output_mode mode, ob_error **error)
{
    fail(error, "ob_config_set_frame_aggregate_output_mode");
}
ob_stream_profile_list * ob_config_get_enabled_stream_profile_list(const ob_config *config, ob_error **error)
{
    fail(error, "ob_config_get_enabled_stream_profile_list");
    return {};
}
uint32_t ob_stream_profile_list_get_count(const ob_stream_profile_list *profile_list, ob_error **error)
{
    fail(error, "ob_stream_profile_list_get_count");
    return {};
}
ob_stream_profile * ob_stream_profile_list_get_profile(const ob_stream_profile_list *profile_list, int index, ob_error **error)
{
    fail(error, "ob_stream_profile_list_get_profile");
    return {};
}
void ob_delete_stream_profile_list(const ob_stream_profile_list *profile_list, ob_error **error)
{
    fail(error, "ob_delete_stream_profile_list");
}
ob_stream_type ob_stream_profile_get_type(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_stream_profile_get_type");
    return {};
}
ob_format ob_stream_profile_get_format(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_stream_profile_get_format");
    return {};
}
uint32_t ob_video_stream_profile_get_width(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_video_stream_profile_get_width");
    return {};
}
uint32_t ob_video_stream_profile_get_height(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_video_stream_profile_get_height");
    return {};
}
uint32_t ob_video_stream_profile_get_fps(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_video_stream_profile_get_fps");
    return {};
}
void ob_delete_stream_profile(const ob_stream_profile *profile, ob_error **error)
{
    fail(error, "ob_delete_stream_profile");
}
void ob_delete_device(ob_device *device, ob_error **error)
{
    fail(error, "ob_delete_device");
}
ob_sensor_list * ob_device_get_sensor_list(const ob_device *device, ob_error **error)
{
    fail(error, "ob_device_get_sensor_list");
    return {};
}
uint32_t ob_sensor_list_get_count(const ob_sensor_list *sensor_list, ob_error **error)
{
    fail(error, "ob_sensor_list_get_count");
    return {};
}
ob_sensor_type ob_sensor_list_get_sensor_type(const ob_sensor_list *sensor_list, uint32_t index, ob_error **error)
{
    fail(error, "ob_sensor_list_get_sensor_type");
    return {};
}
ob_sensor * ob_sensor_list_get_sensor(const ob_sensor_list *sensor_list, uint32_t index, ob_error **error)
{
    fail(error, "ob_sensor_list_get_sensor");
    return {};
}
void ob_delete_sensor_list(ob_sensor_list *sensor_list, ob_error **error)
{
    fail(error, "ob_delete_sensor_list");
}
ob_sensor_type ob_sensor_get_type(const ob_sensor *sensor, ob_error **error)
{
    fail(error, "ob_sensor_get_type");
    return {};
}
void ob_delete_sensor(ob_sensor *sensor, ob_error **error)
{
    fail(error, "ob_delete_sensor");
}
ob_filter * ob_create_filter(const char *name, ob_error **error)
{
    fail(error, "ob_create_filter");
    return {};
}
const char * ob_filter_get_name(const ob_filter *filter, ob_error **error)
{
    fail(error, "ob_filter_get_name");
    return {};
}
void ob_filter_set_config_value(ob_filter *filter, const char *config_name, double value, ob_error **error)
{
    fail(error, "ob_filter_set_config_value");
}
double ob_filter_get_config_value(const ob_filter *filter, const char *config_name, ob_error **error)
{
    fail(error, "ob_filter_get_config_value");
    return {};
}
ob_frame * ob_filter_process(ob_filter *filter, const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_filter_process");
    return {};
}
void ob_filter_set_callback(ob_filter *filter, ob_filter_callback callback, void *user_data, ob_error **error)
{
    fail(error, "ob_filter_set_callback");
}
void ob_filter_push_frame(ob_filter *filter, const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_filter_push_frame");
}
void ob_delete_filter(ob_filter *filter, ob_error **error)
{
    fail(error, "ob_delete_filter");
}
void ob_frame_add_ref(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_add_ref");
}
void ob_delete_frame(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_delete_frame");
}
ob_frame_type ob_frame_get_type(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_type");
    return {};
}
ob_format ob_frame_get_format(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_format");
    return {};
}
uint64_t ob_frame_get_index(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_index");
    return {};
}
uint8_t * ob_frame_get_data(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_data");
    return {};
}
uint32_t ob_frame_get_data_size(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_data_size");
    return {};
}
uint64_t ob_frame_get_timestamp_us(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_timestamp_us");
    return {};
}
uint64_t ob_frame_get_system_timestamp_us(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_frame_get_system_timestamp_us");
    return {};
}
uint32_t ob_video_frame_get_width(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_video_frame_get_width");
    return {};
}
uint32_t ob_video_frame_get_height(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_video_frame_get_height");
    return {};
}
ob_accel_value ob_accel_frame_get_value(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_accel_frame_get_value");
    return {};
}
ob_gyro_value ob_gyro_frame_get_value(const ob_frame *frame, ob_error **error)
{
    fail(error, "ob_gyro_frame_get_value");
    return {};
}
uint32_t ob_frameset_get_count(const ob_frame *frameset, ob_error **error)
{
    fail(error, "ob_frameset_get_count");
    return {};
}
ob_frame * ob_frameset_get_frame(const ob_frame *frameset, ob_frame_type frame_type, ob_error **error)
{
    fail(error, "ob_frameset_get_frame");
    return {};
}
ob_status ob_error_get_status(const ob_error* e) { return e ? e->status : OB_STATUS_OK; }
const char* ob_error_get_message(const ob_error* e) { return e ? e->message : ""; }
const char* ob_error_get_function(const ob_error* e) { return e ? e->function : ""; }
const char* ob_error_get_args(const ob_error* e) { return e ? e->args : ""; }
ob_exception_type ob_error_get_exception_type(const ob_error* e) { return e ? e->exception_type : OB_EXCEPTION_TYPE_UNKNOWN; }
void ob_delete_error(ob_error* e) { delete e; }
} // extern "C"
