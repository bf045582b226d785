#include "fleet_verify.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <thread>

#include <yaml-cpp/yaml.h>

#include "s3_client.h"
#include "store_manifest.h"

namespace {

const std::string kManifestSuffix = std::string("/") + kManifestName;
const std::string kMissing = "missing in the store";
constexpr std::size_t kMetaLimit = 1 << 20;   // a meta.yaml larger than this is not read for the totals

std::string parent_of(const std::string& key)
{
    const auto slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool below(const std::string& key, const std::string& folder)
{
    return key.size() > folder.size() + 1 && key.compare(0, folder.size(), folder) == 0 && key[folder.size()] == '/';
}

// One object to stream and what it has to match.
struct object_task {
    std::string folder;         // the dataset whose manifest lists it
    std::size_t dataset = 0;    // its index in the report
    manifest_entry expected;
    std::string problem;        // empty when the object matches
    std::string meta_text;      // a meta.yaml's content, for the totals
};

void check_object(s3_client& client, object_task& task, const std::atomic<bool>& cancel)
{
    sha256_stream sha;
    uint64_t received = 0;
    const bool keep = ends_with(task.expected.name, "/meta.yaml") && task.expected.size <= kMetaLimit;
    const s3_response got = client.get_object_streamed(task.expected.name, [&](const char* data, std::size_t length) {
        received += length;
        sha.update(data, length);
        if (keep && received <= kMetaLimit)
            task.meta_text.append(data, length);
        return true;
    }, cancel);
    if (got.failure != upload_failure::none)
        task.problem = got.status == 404 ? kMissing : "could not be read: " + got.detail;
    else if (received != task.expected.size)
        task.problem = "size " + std::to_string(received) + ", the manifest says " + std::to_string(task.expected.size);
    else if (sha.hex_digest() != task.expected.sha256)
        task.problem = "SHA-256 does not match the manifest";
}

std::string meta_value(const YAML::Node& meta, const char* name)
{
    try {
        const YAML::Node value = meta[name];
        if (value && value.IsScalar() && !value.Scalar().empty())
            return value.Scalar();
    } catch (const std::exception&) {
    }
    return "?";
}

bool is_image(const std::string& key)
{
    for (const char* ext : {".jpg", ".jpeg", ".png"}) {
        if (ends_with(key, ext))
            return true;
    }
    return false;
}

// Sessions, frame sets and bytes of one checked dataset into the totals.
void add_totals(const std::vector<object_task*>& tasks, verify_report& report)
{
    struct session {
        std::tuple<std::string, std::string, std::string> group{"?", "?", "?"};
        std::set<std::string> stems;
        uint64_t bytes = 0;
    };
    std::map<std::string, session> sessions;   // by folder
    for (const object_task* task : tasks) {
        if (!ends_with(task->expected.name, "/meta.yaml"))
            continue;
        session& s = sessions[parent_of(task->expected.name)];
        try {
            const YAML::Node meta = YAML::Load(task->meta_text);
            s.group = {meta_value(meta, "machine_id"), meta_value(meta, "date"), meta_value(meta, "scene_label")};
        } catch (const std::exception&) {
            // Unreadable: the session still counts, under "?".
        }
    }
    verify_total loose;   // objects in no session folder
    for (const object_task* task : tasks) {
        const std::string& key = task->expected.name;
        auto owner = std::find_if(sessions.begin(), sessions.end(), [&](const auto& s) { return below(key, s.first); });
        if (owner == sessions.end()) {
            loose.bytes += task->expected.size;
            continue;
        }
        owner->second.bytes += task->expected.size;
        if (is_image(key)) {
            const std::string file = key.substr(key.rfind('/') + 1);
            owner->second.stems.insert(file.substr(0, file.find('.')));
        }
    }
    for (const auto& [folder, s] : sessions) {
        verify_total& total = report.totals[s.group];
        ++total.sessions;
        total.frame_sets += s.stems.size();
        total.bytes += s.bytes;
    }
    if (loose.bytes > 0)
        report.totals[{"?", "?", "?"}].bytes += loose.bytes;
}

// Where an object under no manifest belongs: its nearest session folder (one
// with a meta.yaml; the uploader sends a session as a dataset), else its own folder.
std::string orphan_dataset(const std::string& key, const std::set<std::string>& session_folders)
{
    for (std::string folder = parent_of(key); !folder.empty(); folder = parent_of(folder)) {
        if (session_folders.count(folder))
            return folder;
    }
    return parent_of(key).empty() ? key : parent_of(key);
}

} // namespace

bool verify_report::whole() const
{
    return failure == upload_failure::none &&
        std::all_of(datasets.begin(), datasets.end(), [](const dataset_check& d) { return d.whole(); });
}

std::string date_in_key(const std::string& key)
{
    std::istringstream parts(key);
    for (std::string part; std::getline(parts, part, '/');) {
        auto digits = [&](std::size_t from, std::size_t count) {
            return part.size() >= from + count && std::all_of(part.begin() + static_cast<long>(from),
                part.begin() + static_cast<long>(from + count), [](unsigned char c) { return std::isdigit(c); });
        };
        if (digits(0, 4) && part.size() >= 10 && (part[4] == '-' || part[4] == '_') && part[7] == part[4] &&
            digits(5, 2) && digits(8, 2))
            return part.substr(0, 4) + "-" + part.substr(5, 2) + "-" + part.substr(8, 2);
        if (digits(0, 8) && (part.size() == 8 || !std::isdigit(static_cast<unsigned char>(part[8]))))
            return part.substr(0, 4) + "-" + part.substr(4, 2) + "-" + part.substr(6, 2);
    }
    return {};
}

verify_report verify_store(s3_client& client, const verify_options& options, const std::atomic<bool>& cancel)
{
    verify_report report;
    std::string prefix = options.prefix;
    while (!prefix.empty() && prefix.front() == '/')
        prefix.erase(prefix.begin());
    const list_outcome listed = client.list_objects(prefix, cancel);
    if (!listed.ok()) {
        report.failure = listed.failure;
        report.detail = listed.detail;
        return report;
    }
    auto wanted = [&](const std::string& dataset) {
        const std::string date = date_in_key(dataset);
        return options.since.empty() || date.empty() || date >= options.since;
    };

    std::set<std::string> manifests;   // dataset folders
    std::set<std::string> session_folders;
    for (const stored_object& object : listed.objects) {
        if (ends_with(object.key, kManifestSuffix))
            manifests.insert(object.key.substr(0, object.key.size() - kManifestSuffix.size()));
        else if (ends_with(object.key, "/meta.yaml"))
            session_folders.insert(parent_of(object.key));
    }
    // The dataset an object belongs to: its deepest folder with a manifest.
    auto owner_of = [&](const std::string& key) -> std::string {
        for (std::string folder = parent_of(key); !folder.empty(); folder = parent_of(folder)) {
            if (manifests.count(folder))
                return folder;
        }
        return {};
    };

    std::map<std::string, dataset_check> checks;
    std::vector<object_task> tasks;
    std::map<std::string, std::set<std::string>> listed_keys;
    for (const std::string& folder : manifests) {
        if (!wanted(folder))
            continue;
        dataset_check& check = checks[folder];
        check.key = folder;
        const s3_response manifest = client.get_object(folder + kManifestSuffix);
        std::vector<manifest_entry> files;
        std::string error;
        if (manifest.failure != upload_failure::none)
            check.manifest_error = "cannot be read: " + manifest.detail;
        else if (!parse_manifest(manifest.body, "key", files, error))
            check.manifest_error = error;
        // Each listed key is fetched, even one outside the listed prefix.
        for (const manifest_entry& file : files) {
            listed_keys[folder].insert(file.name);
            tasks.push_back({folder, 0, file, {}, {}});
        }
    }
    for (const stored_object& object : listed.objects) {
        if (ends_with(object.key, kManifestSuffix))
            continue;
        const std::string owner = owner_of(object.key);
        if (!owner.empty()) {
            if (checks.count(owner) && !listed_keys[owner].count(object.key))
                checks[owner].extra.push_back(object.key);
            continue;
        }
        const std::string dataset = orphan_dataset(object.key, session_folders);
        if (!wanted(dataset))
            continue;
        dataset_check& check = checks[dataset];
        check.key = dataset;
        check.has_manifest = false;
        ++check.objects;
        check.bytes += object.size;
    }
    for (auto& [folder, check] : checks)
        report.datasets.push_back(check);
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < report.datasets.size(); ++i)
        index[report.datasets[i].key] = i;
    for (object_task& task : tasks)
        task.dataset = index[task.folder];

    // Stream the objects, several at once; each job takes the next task.
    std::atomic<std::size_t> next{0};
    auto job = [&] {
        for (std::size_t i = next++; i < tasks.size() && !cancel.load(); i = next++)
            check_object(client, tasks[i], cancel);
    };
    const int jobs = std::max(1, std::min<int>(options.jobs, static_cast<int>(std::max<std::size_t>(tasks.size(), 1))));
    std::vector<std::thread> workers;
    for (int i = 1; i < jobs; ++i)
        workers.emplace_back(job);
    job();
    for (std::thread& worker : workers)
        worker.join();

    std::map<std::size_t, std::vector<object_task*>> by_dataset;
    for (object_task& task : tasks) {
        dataset_check& check = report.datasets[task.dataset];
        if (task.problem == kMissing) {
            check.missing.push_back(task.expected.name);
            continue;
        }
        if (!task.problem.empty()) {
            check.damaged.push_back(task.expected.name + ": " + task.problem);
            continue;
        }
        ++check.objects;
        check.bytes += task.expected.size;
        report.objects += 1;
        report.bytes += task.expected.size;
        by_dataset[task.dataset].push_back(&task);
    }
    for (const auto& [dataset, checked] : by_dataset)
        add_totals(checked, report);
    return report;
}

std::string verify_text(const verify_report& report)
{
    if (report.failure != upload_failure::none)
        return std::string("cannot list the store: ") + failure_text(report.failure) + " (" + report.detail + ")\n";
    std::string out;
    std::size_t broken = 0;
    for (const dataset_check& d : report.datasets) {
        if (d.whole())
            continue;
        ++broken;
        if (!d.has_manifest)
            out += "NO MANIFEST " + d.key + " (" + std::to_string(d.objects) + " objects)\n";
        if (!d.manifest_error.empty())
            out += "BAD MANIFEST " + d.key + ": " + d.manifest_error + "\n";
        for (const std::string& key : d.missing)
            out += "MISSING " + key + "\n";
        for (const std::string& key : d.extra)
            out += "EXTRA " + key + "\n";
        for (const std::string& line : d.damaged)
            out += "DAMAGED " + line + "\n";
    }
    char line[512];
    std::snprintf(line, sizeof line, "%-16s %-12s %-20s %8s %10s %14s\n", "MACHINE", "DATE", "SCENE", "SESSIONS",
        "FRAME SETS", "BYTES");
    out += line;
    for (const auto& [group, total] : report.totals) {
        std::snprintf(line, sizeof line, "%-16s %-12s %-20s %8llu %10llu %14llu\n", std::get<0>(group).c_str(),
            std::get<1>(group).c_str(), std::get<2>(group).c_str(), static_cast<unsigned long long>(total.sessions),
            static_cast<unsigned long long>(total.frame_sets), static_cast<unsigned long long>(total.bytes));
        out += line;
    }
    out += std::to_string(report.datasets.size()) + " datasets, " + std::to_string(report.objects) +
        " objects verified (" + std::to_string(report.bytes) + " bytes); " +
        (broken == 0 ? std::string("all whole") : std::to_string(broken) + " not whole") + "\n";
    return out;
}

nlohmann::ordered_json verify_json(const verify_report& report)
{
    nlohmann::ordered_json json = {{"whole", report.whole()}};
    if (report.failure != upload_failure::none)
        json["error"] = std::string(failure_text(report.failure)) + " (" + report.detail + ")";
    nlohmann::ordered_json datasets = nlohmann::ordered_json::array();
    for (const dataset_check& d : report.datasets) {
        datasets.push_back({{"key", d.key}, {"whole", d.whole()}, {"has_manifest", d.has_manifest},
            {"manifest_error", d.manifest_error}, {"missing", d.missing}, {"extra", d.extra},
            {"damaged", d.damaged}, {"objects", d.objects}, {"bytes", d.bytes}});
    }
    json["datasets"] = datasets;
    nlohmann::ordered_json totals = nlohmann::ordered_json::array();
    for (const auto& [group, total] : report.totals) {
        totals.push_back({{"machine_id", std::get<0>(group)}, {"date", std::get<1>(group)},
            {"scene", std::get<2>(group)}, {"sessions", total.sessions}, {"frame_sets", total.frame_sets},
            {"bytes", total.bytes}});
    }
    json["totals"] = totals;
    json["objects"] = report.objects;
    json["bytes"] = report.bytes;
    return json;
}
