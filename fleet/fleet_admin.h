#pragma once
// What kavrel-fleet does besides verify: publishing a catalogue set and
// reading the terminals' status files.

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "terminal_status.h"

class s3_client;

struct publish_outcome {
    bool ok = false;
    std::string error;          // what was refused or failed
    std::string set;            // scenario_<stamp>
    std::size_t files = 0;      // without the manifest
};

// Checks the set folder with the terminal's own loader, refuses a broken
// one, then uploads its .yaml files and, last, the manifest that makes the
// set ready for terminals.
publish_outcome publish_catalogue(s3_client& client, const std::string& dir, const std::string& prefix,
    const std::atomic<bool>& cancel);

struct terminal_row {
    std::string key;
    terminal_status status;
    std::string error;          // the status file could not be read
    std::time_t last_seen = 0;  // store clock: written_at less the terminal's offset
    bool silent = false;        // not seen for more than a day
    bool old_catalogue = false; // not on the newest ready set in the store
};

struct fleet_status {
    upload_failure failure = upload_failure::none;
    std::string detail;
    std::string newest_catalogue;   // empty when the store holds no ready set
    std::vector<terminal_row> terminals;
};

fleet_status read_fleet_status(s3_client& client, const std::string& catalogue_prefix, std::time_t now,
    const std::atomic<bool>& cancel);
std::string fleet_status_table(const fleet_status& status, std::time_t now);
