#include "terminal_status.h"

#include "s3_client.h"
#include "store_manifest.h"

namespace {

std::string utc_text(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool utc_from_text(const std::string& text, std::time_t& when)
{
    std::tm utc{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (!end || *end)
        return false;
    when = timegm(&utc);
    return true;
}

} // namespace

const char* failure_name(upload_failure failure)
{
    switch (failure) {
    case upload_failure::none: return "ok";
    case upload_failure::auth: return "auth";
    case upload_failure::unreachable: return "unreachable";
    case upload_failure::no_bucket: return "no_bucket";
    case upload_failure::local_read: return "local_read";
    case upload_failure::clock_skew: return "clock_skew";
    case upload_failure::cancelled: return "cancelled";
    case upload_failure::rejected: return "rejected";
    case upload_failure::certificate: return "certificate";
    }
    return "failed";
}

nlohmann::ordered_json status_to_json(const terminal_status& status)
{
    const nlohmann::ordered_json json = {
        {"machine_id", status.machine_id},
        {"version", status.version},
        {"catalogue", status.catalogue},
        {"free_bytes", status.free_bytes},
        {"sessions_waiting", status.sessions_waiting},
        {"bytes_waiting", status.bytes_waiting},
        {"last_upload_time", status.last_upload_time ? nlohmann::ordered_json(utc_text(status.last_upload_time)) : nullptr},
        {"last_upload_result", status.last_upload_result},
        {"ntp_synchronized", status.ntp_synchronized},
        {"clock_offset_s", status.clock_offset_s ? nlohmann::ordered_json(*status.clock_offset_s) : nullptr},
        {"sessions_failed_check",
            status.sessions_failed_check ? nlohmann::ordered_json(*status.sessions_failed_check) : nullptr},
        {"written_at", utc_text(status.written_at)},
    };
    return json;
}

bool status_from_json(const nlohmann::json& json, terminal_status& status, std::string& error)
{
    status = {};
    try {
        status.machine_id = json.at("machine_id").get<std::string>();
        status.version = json.at("version").get<std::string>();
        status.catalogue = json.at("catalogue").get<std::string>();
        status.free_bytes = json.at("free_bytes").get<uint64_t>();
        status.sessions_waiting = json.at("sessions_waiting").get<uint64_t>();
        status.bytes_waiting = json.at("bytes_waiting").get<uint64_t>();
        if (const auto& last = json.at("last_upload_time"); !last.is_null() &&
            !utc_from_text(last.get<std::string>(), status.last_upload_time))
            throw std::runtime_error("last_upload_time is not a UTC time");
        status.last_upload_result = json.at("last_upload_result").get<std::string>();
        status.ntp_synchronized = json.at("ntp_synchronized").get<bool>();
        if (const auto& offset = json.at("clock_offset_s"); !offset.is_null())
            status.clock_offset_s = offset.get<long>();
        if (const auto& failed = json.at("sessions_failed_check"); !failed.is_null())
            status.sessions_failed_check = failed.get<uint64_t>();
        if (!utc_from_text(json.at("written_at").get<std::string>(), status.written_at))
            throw std::runtime_error("written_at is not a UTC time");
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::string terminal_status_key(const std::string& machine_id)
{
    if (!is_plain_file_name(machine_id))
        return {};
    return std::string(kTerminalsPrefix) + machine_id + "/status.json";
}

void count_waiting(const std::vector<dir_info>& rows, terminal_status& status)
{
    status.sessions_waiting = 0;
    status.bytes_waiting = 0;
    for (const dir_info& row : rows) {
        if (row.status == kStatusCompleted)
            continue;
        ++status.sessions_waiting;
        status.bytes_waiting += row.size > 0 ? static_cast<uint64_t>(row.size) : 0;
    }
}

put_outcome write_terminal_status(s3_client& client, terminal_status& status, const std::atomic<bool>& cancel)
{
    put_outcome outcome;
    const std::string key = terminal_status_key(status.machine_id);
    if (key.empty()) {
        outcome.failure = upload_failure::rejected;
        outcome.detail = "machine_id is empty or not a plain name: '" + status.machine_id + "'";
        return outcome;
    }
    status.written_at = std::time(nullptr) + client.settings().clock_offset.count();
    const s3_response head = client.head_object(key);
    status.clock_offset_s = store_clock_offset(head, status.written_at);
    return client.put_bytes(key, status_to_json(status).dump(2) + "\n", cancel);
}
