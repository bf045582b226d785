#pragma once
// A terminal's report of itself, kept in the store at
// terminals/<machine_id>/status.json so that the people running the fleet
// see every terminal without walking up to it.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dir_info.h"
#include "object_store.h"

class s3_client;

inline constexpr const char* kTerminalsPrefix = "terminals/";

struct terminal_status {
    std::string machine_id;
    std::string version;                 // of the terminal program
    std::string catalogue;               // the newest scenario set on the terminal
    uint64_t free_bytes = 0;             // on the storage card
    uint64_t sessions_waiting = 0;       // ledger rows not yet uploaded
    uint64_t bytes_waiting = 0;
    std::time_t last_upload_time = 0;    // 0: no upload finished since start
    std::string last_upload_result;      // "ok" or why it failed
    bool ntp_synchronized = false;
    std::optional<long> clock_offset_s;  // device minus store clock, from its Date header
    std::optional<uint64_t> sessions_failed_check;   // empty until the terminal has checked
    std::time_t written_at = 0;          // device clock
};

nlohmann::ordered_json status_to_json(const terminal_status& status);
// False with the reason when a member is missing or of the wrong type.
bool status_from_json(const nlohmann::json& json, terminal_status& status, std::string& error);

// terminals/<machine_id>/status.json; empty when the id is empty or could
// leave that folder.
std::string terminal_status_key(const std::string& machine_id);

// Counts the ledger rows still waiting for upload and their bytes.
void count_waiting(const std::vector<dir_info>& rows, terminal_status& status);

// Short English name of an upload failure for the fleet's table.
const char* failure_name(upload_failure failure);

// Asks the store's clock (a HEAD of the key; its Date header), fills in
// clock_offset_s and writes the status. Never throws.
put_outcome write_terminal_status(s3_client& client, terminal_status& status, const std::atomic<bool>& cancel);
