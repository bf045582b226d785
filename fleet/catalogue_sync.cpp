#include "catalogue_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "Log.h"
#include "s3_client.h"
#include "scenario_tag_loader.h"
#include "store_manifest.h"

namespace fs = std::filesystem;

namespace {

const char kHiddenPrefix[] = ".download-";

// Why a set is refused: the file at fault and what is wrong with it.
struct refusal {
    std::string file;
    std::string reason;
};

bool fsync_path(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Streams one object into a new file, hashing as it goes; a transfer
// failure is returned as such, a mismatch as a refusal.
catalogue_result fetch_file(s3_client& client, const std::string& key, const manifest_entry& entry,
    const std::string& path, const std::function<void(const std::string&, uint64_t)>& on_progress,
    const std::atomic<bool>& cancel, refusal& refused)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        refused = {entry.name, std::string("cannot create the local copy: ") + std::strerror(errno)};
        return catalogue_result::refused;
    }
    sha256_stream sha;
    uint64_t received = 0;
    bool write_failed = false;
    const s3_response got = client.get_object_streamed(key, [&](const char* data, std::size_t length) {
        received += length;
        if (received > entry.size)
            return false;  // more than the manifest says: stop early
        sha.update(data, length);
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = ::write(fd, data + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                write_failed = true;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        if (on_progress)
            on_progress(entry.name, received);
        return true;
    }, cancel);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (write_failed || !synced) {
        refused = {entry.name, "cannot write the local copy"};
        return catalogue_result::refused;
    }
    if (received > entry.size) {
        refused = {entry.name, "larger than the manifest's " + std::to_string(entry.size) + " bytes"};
        return catalogue_result::refused;
    }
    if (got.status == 404) {
        refused = {entry.name, "missing in the store"};
        return catalogue_result::refused;
    }
    if (!got.detail.empty() || got.failure != upload_failure::none) {
        refused = {entry.name, got.detail};
        return catalogue_result::unreachable;
    }
    if (received != entry.size) {
        refused = {entry.name, std::to_string(received) + " bytes, the manifest says " + std::to_string(entry.size)};
        return catalogue_result::refused;
    }
    if (sha.hex_digest() != entry.sha256) {
        refused = {entry.name, "SHA-256 does not match the manifest"};
        return catalogue_result::refused;
    }
    return catalogue_result::installed;
}

} // namespace

std::map<std::string, std::string> ready_catalogue_sets(const std::vector<stored_object>& objects,
    const std::string& prefix)
{
    std::map<std::string, std::string> ready;
    for (const stored_object& object : objects) {
        if (object.key.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string rest = object.key.substr(prefix.size());
        const auto slash = rest.find('/');
        if (slash == std::string::npos || rest.substr(slash + 1) != kManifestName)
            continue;
        const std::string set = rest.substr(0, slash);
        if (scenario_tag_loader::is_scenario_set_name(set) && is_plain_file_name(set))
            ready[set] = object.etag;
    }
    return ready;
}

bool check_scenario_set(const std::string& folder, const std::vector<std::string>& file_names, std::string& file,
    std::string& reason)
{
    for (const std::string& name : file_names) {
        if (fs::path(name).extension() != ".yaml")
            continue;
        try {
            YAML::LoadFile(folder + "/" + name);
        } catch (const std::exception& e) {
            file = name;
            reason = std::string("YAML error: ") + e.what();
            return false;
        }
    }
    const std::vector<std::string> scenarios = scenario_tag_loader::sorted_yaml_files_with_prefix(folder, "scenario");
    if (scenarios.empty()) {
        file = kManifestName;
        reason = "the set has no scenario*.yaml";
        return false;
    }
    for (const std::string& scenario : scenarios) {
        task_preview_load_result preview;
        if (!scenario_tag_loader::load_task_preview(scenario, folder + "/tags.yaml", preview, &reason)) {
            file = fs::path(scenario).filename().string();
            return false;
        }
    }
    return true;
}

catalogue_sync::catalogue_sync(std::shared_ptr<s3_client> client, std::string prefix, std::string scenario_root)
    : client_(std::move(client)), prefix_(folder_prefix(prefix)), root_(std::move(scenario_root))
{
}

catalogue_result catalogue_sync::run(const std::atomic<bool>& cancel)
{
    installed_.clear();
    const list_outcome listed = client_->list_objects(prefix_, cancel);
    if (!listed.ok()) {
        LOGW << "Catalogue: cannot list " << prefix_ << " in the store: " << failure_text(listed.failure) << " ("
             << listed.detail << ")";
        return catalogue_result::unreachable;
    }
    const std::map<std::string, std::string> ready = ready_catalogue_sets(listed.objects, prefix_);
    const std::string current = scenario_tag_loader::latest_scenario_folder_name(root_);
    bool any_refused = false;
    // Newest first; a refused set gives way to the next newer-than-ours one.
    for (auto it = ready.rbegin(); it != ready.rend() && it->first > current; ++it) {
        const auto seen = refused_.find(it->first);
        if (seen != refused_.end() && seen->second == it->second) {
            any_refused = true;
            continue;
        }
        const catalogue_result result = install(it->first, cancel);
        if (result == catalogue_result::refused) {
            refused_[it->first] = it->second;
            any_refused = true;
            continue;
        }
        if (result == catalogue_result::installed)
            remove_old_sets();
        return result;
    }
    return any_refused ? catalogue_result::refused : catalogue_result::up_to_date;
}

catalogue_result catalogue_sync::install(const std::string& set, const std::atomic<bool>& cancel)
{
    const std::string hidden = root_ + "/" + kHiddenPrefix + set;
    const std::string final_path = root_ + "/" + set;
    std::error_code ec;
    // Downloads cut off by a power loss leave their hidden folders behind.
    std::vector<fs::path> stale;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_, ec)) {
        if (entry.path().filename().string().rfind(kHiddenPrefix, 0) == 0)
            stale.push_back(entry.path());
    }
    for (const fs::path& path : stale)
        fs::remove_all(path, ec);
    fs::create_directories(hidden, ec);
    if (ec) {
        LOGW << "Catalogue: cannot create " << hidden << ": " << ec.message();
        return catalogue_result::unreachable;
    }
    auto give_up = [&](catalogue_result result, const refusal& why) {
        fs::remove_all(hidden, ec);
        if (result == catalogue_result::refused)
            LOGW << "Catalogue set " << set << " refused: " << why.file << ": " << why.reason;
        else
            LOGW << "Catalogue set " << set << " not downloaded: " << why.file << ": " << why.reason;
        return result;
    };

    const std::string set_prefix = prefix_ + set + "/";
    const s3_response manifest = client_->get_object(set_prefix + kManifestName);
    if (manifest.failure != upload_failure::none)
        return give_up(catalogue_result::unreachable, {kManifestName, manifest.detail});
    std::vector<manifest_entry> files;
    std::string error;
    if (!parse_manifest(manifest.body, "name", files, error))
        return give_up(catalogue_result::refused, {kManifestName, error});
    std::set<std::string> unique;
    for (const manifest_entry& file : files) {
        if (!is_plain_file_name(file.name) || file.name == kManifestName || !unique.insert(file.name).second)
            return give_up(catalogue_result::refused, {kManifestName, "bad or repeated file name: " + file.name});
    }

    for (const manifest_entry& file : files) {
        refusal why;
        const catalogue_result fetched =
            fetch_file(*client_, set_prefix + file.name, file, hidden + "/" + file.name, on_progress, cancel, why);
        if (fetched != catalogue_result::installed)
            return give_up(fetched, why);
    }
    std::vector<std::string> names_in_order;
    for (const manifest_entry& file : files)
        names_in_order.push_back(file.name);
    refusal why;
    if (!check_scenario_set(hidden, names_in_order, why.file, why.reason))
        return give_up(catalogue_result::refused, why);

    // The files are on disk; make the folder entries so too, then publish by rename.
    if (!fsync_path(hidden, O_RDONLY | O_DIRECTORY) || fs::exists(final_path, ec) ||
        ::rename(hidden.c_str(), final_path.c_str()) != 0)
        return give_up(catalogue_result::unreachable, {set, "cannot move the set into place"});
    fsync_path(root_, O_RDONLY | O_DIRECTORY);
    installed_ = set;
    LOGI << "Catalogue set " << set << " installed (" << files.size() << " files)";
    return catalogue_result::installed;
}

void catalogue_sync::remove_old_sets() const
{
    std::vector<std::string> sets;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(ec) && scenario_tag_loader::is_scenario_set_name(name))
            sets.push_back(name);
    }
    std::sort(sets.rbegin(), sets.rend());
    for (std::size_t i = kScenarioSetsKept; i < sets.size(); ++i) {
        fs::remove_all(root_ + "/" + sets[i], ec);
        if (ec)
            LOGW << "Catalogue: cannot remove the old set " << sets[i] << ": " << ec.message();
        else
            LOGI << "Catalogue: old set " << sets[i] << " removed";
    }
}
