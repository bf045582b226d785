#pragma once
// Brings the scenario catalogue from the store to the terminal.
//
// In the store, below a prefix (default "catalogue/"), a set is
// scenario_<stamp>/ with its scenario*.yaml, tags.yaml and a _manifest.json
// written last; a set without its manifest is not ready yet. The newest
// complete set newer than the terminal's own is downloaded into a hidden
// folder beside the scenario sets, every file checked against the manifest,
// parsed with the start page's loader, flushed to disk and renamed into
// place, so the start page never sees half a set. The last three sets stay.
//
// Threads: run() blocks on the network; call it from one worker thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "object_store.h"

class s3_client;

inline constexpr const char* kDefaultCataloguePrefix = "catalogue/";
inline constexpr int kScenarioSetsKept = 3;

enum class catalogue_result {
    up_to_date,    // nothing newer and ready in the store
    installed,     // a newer set is in place
    refused,       // the newer sets failed their checks; the current set stays
    unreachable,   // the store could not be asked or a download broke off
};

// The sets of a listing below `prefix` (folder form) whose manifest is there,
// by name, with the manifest's ETag.
std::map<std::string, std::string> ready_catalogue_sets(const std::vector<stored_object>& objects,
    const std::string& prefix);

// Checks a set folder the way a terminal takes it: every listed .yaml file is
// valid YAML, there is a scenario*.yaml, and each loads with the start
// page's loader. False with the file at fault and the reason.
bool check_scenario_set(const std::string& folder, const std::vector<std::string>& file_names, std::string& file,
    std::string& reason);

class catalogue_sync {
public:
    // `scenario_root` is the folder holding the scenario_<stamp> sets.
    catalogue_sync(std::shared_ptr<s3_client> client, std::string prefix, std::string scenario_root);

    // One look at the store; takes at most one set.
    catalogue_result run(const std::atomic<bool>& cancel);

    // The set the last run() put in place, or empty.
    const std::string& installed_set() const { return installed_; }

    // Sees the byte count of each file as it arrives (tests cut downloads with it).
    std::function<void(const std::string& file, uint64_t bytes)> on_progress;

private:
    // Downloads, checks and renames one set into place.
    catalogue_result install(const std::string& set, const std::atomic<bool>& cancel);
    void remove_old_sets() const;

    std::shared_ptr<s3_client> client_;
    std::string prefix_;        // folder form, ends with '/'
    std::string root_;
    std::string installed_;
    // Sets refused before, by name, with their manifest's ETag: not fetched
    // again until the manifest changes.
    std::map<std::string, std::string> refused_;
};
