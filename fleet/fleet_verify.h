#pragma once
// Checks what arrived in the store against the datasets' manifests: every
// object listed is streamed and its size and SHA-256 compared, several at a
// time with bounded memory (one transfer buffer per job). Objects the
// manifest does not list, objects missing from the store and objects under
// no manifest at all are reported. Sessions (folders with a meta.yaml),
// frame sets and bytes are totalled per machine, date and scene.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "object_store.h"

class s3_client;

struct verify_options {
    std::string prefix;     // only datasets below this key prefix
    std::string since;      // YYYY-MM-DD: only datasets whose key carries this date or a later one
    int jobs = 8;           // objects streamed at once
};

struct dataset_check {
    std::string key;                      // the dataset's folder in the store
    bool has_manifest = true;
    std::string manifest_error;           // the manifest exists but cannot be read
    std::vector<std::string> missing;     // listed, not in the store
    std::vector<std::string> extra;       // in the store, not listed
    std::vector<std::string> damaged;     // "key: reason"
    uint64_t objects = 0;                 // objects checked
    uint64_t bytes = 0;
    bool whole() const
    {
        return has_manifest && manifest_error.empty() && missing.empty() && extra.empty() && damaged.empty();
    }
};

struct verify_total {
    uint64_t sessions = 0;
    uint64_t frame_sets = 0;
    uint64_t bytes = 0;
};

struct verify_report {
    upload_failure failure = upload_failure::none;   // the store could not be listed
    std::string detail;
    std::vector<dataset_check> datasets;             // in key order
    // (machine, date, scene) -> totals; "?" where a session's meta.yaml does not say.
    std::map<std::tuple<std::string, std::string, std::string>, verify_total> totals;
    uint64_t objects = 0;
    uint64_t bytes = 0;
    bool whole() const;
};

verify_report verify_store(s3_client& client, const verify_options& options, const std::atomic<bool>& cancel);

// The human-readable report, and the same as JSON for scripts.
std::string verify_text(const verify_report& report);
nlohmann::ordered_json verify_json(const verify_report& report);

// "2026-03-01" from "20260301", "2026-03-01" or "2026_03_01" at the start of
// a key component; empty when the key has no such component.
std::string date_in_key(const std::string& key);
