#include "fleet_admin.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "catalogue_sync.h"
#include "s3_client.h"
#include "scenario_tag_loader.h"
#include "store_manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kSilentAfter = 24 * 60 * 60;

std::string read_file(const std::string& path, bool& ok)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    ok = file.good() || file.eof();
    return text.str();
}

std::string size_text(uint64_t bytes)
{
    char text[32];
    if (bytes >= (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f GB", bytes / double(1ull << 30));
    else
        std::snprintf(text, sizeof text, "%.1f MB", bytes / double(1ull << 20));
    return text;
}

std::string age_text(std::time_t seconds)
{
    if (seconds < 0)
        seconds = 0;
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min ago";
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h ago";
    return std::to_string(seconds / 86400) + " d ago";
}

} // namespace

publish_outcome publish_catalogue(s3_client& client, const std::string& dir, const std::string& prefix,
    const std::atomic<bool>& cancel)
{
    publish_outcome outcome;
    std::error_code ec;
    const fs::path folder = fs::path(dir).lexically_normal();
    outcome.set = (folder.has_filename() ? folder.filename() : folder.parent_path().filename()).string();
    if (!fs::is_directory(folder, ec)) {
        outcome.error = dir + " is not a folder";
        return outcome;
    }
    if (!scenario_tag_loader::is_scenario_set_name(outcome.set) || !is_plain_file_name(outcome.set)) {
        outcome.error = "the folder must be named scenario_<stamp> with a stamp of 15 characters or more: " +
            outcome.set;
        return outcome;
    }
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) && entry.path().extension() == ".yaml" && is_plain_file_name(name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string file;
    std::string reason;
    if (!check_scenario_set(folder.string(), names, file, reason)) {
        outcome.error = file + ": " + reason;
        return outcome;
    }

    const std::string set_prefix = folder_prefix(prefix) + outcome.set + "/";
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const std::string& name : names) {
        bool read = false;
        const std::string bytes = read_file((folder / name).string(), read);
        if (!read) {
            outcome.error = name + ": cannot be read";
            return outcome;
        }
        const put_outcome sent = client.put_bytes(set_prefix + name, bytes, cancel);
        if (!sent.ok()) {
            outcome.error = name + ": " + failure_name(sent.failure) + " (" + sent.detail + ")";
            return outcome;
        }
        files.push_back({{"name", name}, {"size", bytes.size()}, {"sha256", sent.sha256_hex}});
    }
    const nlohmann::ordered_json manifest = {{"set", outcome.set}, {"files", files}};
    const put_outcome sent = client.put_bytes(set_prefix + kManifestName, manifest.dump(2) + "\n", cancel);
    if (!sent.ok()) {
        outcome.error = std::string(kManifestName) + ": " + failure_name(sent.failure) + " (" + sent.detail + ")";
        return outcome;
    }
    outcome.files = names.size();
    outcome.ok = true;
    return outcome;
}

fleet_status read_fleet_status(s3_client& client, const std::string& catalogue_prefix, std::time_t now,
    const std::atomic<bool>& cancel)
{
    fleet_status fleet;
    const std::string sets_prefix = folder_prefix(catalogue_prefix);
    const list_outcome sets = client.list_objects(sets_prefix, cancel);
    const list_outcome listed = sets.ok() ? client.list_objects(kTerminalsPrefix, cancel) : sets;
    if (!listed.ok()) {
        fleet.failure = listed.failure;
        fleet.detail = listed.detail;
        return fleet;
    }
    const auto ready = ready_catalogue_sets(sets.objects, sets_prefix);
    if (!ready.empty())
        fleet.newest_catalogue = ready.rbegin()->first;
    for (const stored_object& object : listed.objects) {
        const std::string tail = "/status.json";
        if (object.key.size() <= tail.size() || object.key.compare(object.key.size() - tail.size(), tail.size(), tail))
            continue;
        terminal_row row;
        row.key = object.key;
        const s3_response got = client.get_object(object.key);
        const nlohmann::json json = nlohmann::json::parse(got.body, nullptr, false);
        if (got.failure != upload_failure::none)
            row.error = got.detail;
        else if (json.is_discarded())
            row.error = "not JSON";
        else
            status_from_json(json, row.status, row.error);
        if (row.error.empty()) {
            row.last_seen = row.status.written_at - row.status.clock_offset_s.value_or(0);
            row.silent = now - row.last_seen > kSilentAfter;
            row.old_catalogue = !fleet.newest_catalogue.empty() && row.status.catalogue < fleet.newest_catalogue;
        }
        fleet.terminals.push_back(std::move(row));
    }
    return fleet;
}

std::string fleet_status_table(const fleet_status& fleet, std::time_t now)
{
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-16s %-12s %-10s %-26s %8s %10s %10s %8s  %s\n", "MACHINE", "LAST SEEN",
        "VERSION", "CATALOGUE", "WAITING", "BYTES", "FREE", "OFFSET", "NOTES");
    out += line;
    for (const terminal_row& row : fleet.terminals) {
        if (!row.error.empty()) {
            out += row.key + ": unreadable status (" + row.error + ")\n";
            continue;
        }
        const terminal_status& s = row.status;
        std::string notes;
        if (row.silent)
            notes += "SILENT ";
        if (row.old_catalogue)
            notes += "OLD CATALOGUE ";
        if (!s.last_upload_result.empty() && s.last_upload_result != "ok")
            notes += "upload " + s.last_upload_result + " ";
        const std::string offset = s.clock_offset_s ? std::to_string(*s.clock_offset_s) + " s" : "?";
        std::snprintf(line, sizeof line, "%-16s %-12s %-10s %-26s %8llu %10s %10s %8s  %s\n", s.machine_id.c_str(),
            age_text(now - row.last_seen).c_str(), s.version.c_str(), s.catalogue.empty() ? "-" : s.catalogue.c_str(),
            static_cast<unsigned long long>(s.sessions_waiting), size_text(s.bytes_waiting).c_str(),
            size_text(s.free_bytes).c_str(), offset.c_str(), notes.c_str());
        out += line;
    }
    out += std::to_string(fleet.terminals.size()) + " terminals; newest catalogue in the store: " +
        (fleet.newest_catalogue.empty() ? std::string("none") : fleet.newest_catalogue) + "\n";
    return out;
}
