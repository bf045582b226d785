#include "TaskSaveWork.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "CollectionContext.h"
#include "DepthPngWriter.h"
#include "FrameQueues.h"
#include "Log.h"
#include "AtomicFile.h"
#include "CaptureMode.h"
#include "SaveFiles.h"
#include "SessionPath.h"
#include "TaskManager.h"
#include "TimestampText.h"

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {


double realTimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Seconds since the epoch for one IMU sample: the device's microseconds when
// present, else the record's 17-digit local timestamp, else the clock.
double imuSampleTime(const json& payload, const std::string& timestamp)
{
    if (payload.is_object()) {
        auto found = payload.find("timestamp_us");
        if (found != payload.end() && found->is_number()) {
            if (found->is_number_unsigned())
                return static_cast<double>(found->get<uint64_t>()) / 1000000.0;
            if (found->is_number_integer())
                return static_cast<double>(found->get<int64_t>()) / 1000000.0;
            return std::trunc(found->get<double>()) / 1000000.0;
        }
    }
    std::tm local{};
    int milliseconds = 0;
    if (parseTimestampText(timestamp, local, milliseconds))
        return static_cast<double>(std::mktime(&local)) + milliseconds / 1000.0;
    return realTimeSeconds();
}

bool readTriple(const json& payload, const char* key, double (&values)[3])
{
    auto found = payload.find(key);
    if (found == payload.end() || !found->is_object())
        return false;
    const char* axes[3] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        auto axis = found->find(axes[i]);
        if (axis == found->end() || !axis->is_number())
            return false;
        values[i] = axis->get<double>();
    }
    return true;
}

json imuEntry(const char* type, const double (&values)[3], double time)
{
    json entry = json::object();
    entry["sensor"] = json::object({{"type", type}, {"values", json::array({values[0], values[1], values[2]})}});
    entry["time"] = time;
    return entry;
}

} // namespace

// One save run: settles the session folder, drains the queues while its
// worker is saving, then writes, syncs and reports. Lives on the worker
// thread for the length of one executeTask. The first failed write ends it:
// what is written stays whole and paired, what is still queued is discarded.
class SaveRun {
public:
    explicit SaveRun(TaskSaveWork& task)
        : task_(task)
        , generation_(task.runGeneration_.load())
        , context_(CollectionContext::instance())
        , queues_(FrameQueueManager::instance())
        , depthWriter_(DepthPngWriter::defaultThreads(), 2 * static_cast<size_t>(DepthPngWriter::defaultThreads()))
    {
    }

    bool settleSessionFolder();
    void drainWhileSaving();
    void finish();
    const std::string& sessionPath() const { return path_; }
    SaveRunResult result() const;

private:
    struct ManifestEntry {
        std::vector<std::string> files;
        std::vector<std::string> tags;
    };

    bool createFolders(const std::string& base, std::error_code& error);
    std::string relativeName(const std::string& savePath) const;
    size_t takeImuRecords(size_t limit);
    void recordImu(const FrameData& record);
    void writeImuEntries(bool forceFlush);
    bool saveColour(FrameData& record, bool fromUsb);
    // colourWritten: the colour image of the same frame set is on the card.
    void saveDepth(FrameData& record, bool colourWritten);
    // Takes one colour + depth pair of the depth camera; true when there was one.
    bool savePairFromQueues();
    std::string fileName(const FrameData& record) const;
    void addToManifest(const std::string& key, const std::string& relativePath, std::vector<std::string> tags);
    void removeFromManifest(const std::string& key, const std::string& relativePath);
    bool collectDepthOutcomes();
    bool imageWorkLeft() const;
    void writeManifest();
    void makeDurable();
    bool runOpen() const;
    bool writeImages() const { return task_.writeImages_.load(); }
    void failed(const std::string& what);
    size_t discardImageQueues();
    void emitToGui(std::function<void(TaskSaveWork&)> emitter);

    TaskSaveWork& task_;
    const uint64_t generation_;
    CollectionContext& context_;
    FrameQueueManager& queues_;

    CollectionInfo info_;
    CaptureMode mode_ = CaptureMode::SingleShot;
    std::vector<std::string> devices_;
    std::string path_;         // session folder P
    std::string fallbackDir_;  // where images go when the context has no save path
    std::string rgbPrefix_;    // relative directory of USB colour images in manifest paths, with "/"
    std::string depthPrefix_;  // same for the depth camera's images
    std::string imuFile_;

    std::map<std::string, ManifestEntry> manifest_;  // sorted, as manifest.json lists it
    bool manifestDirty_ = false;
    Clock::time_point lastManifestWrite_{};

    // Counts of this run, for its result.
    uint64_t colourSaved_ = 0;
    uint64_t depthSaved_ = 0;
    uint64_t usbSaved_ = 0;
    uint64_t filesFailed_ = 0;
    uint64_t discarded_ = 0;
    uint64_t imuLost_ = 0;
    std::string failure_;
    bool imagesPending_ = false;  // image work since the last imagesWritten

    save_files::AppendFile imu_;
    bool imuOpenFailed_ = false;
    bool imuWriteFailed_ = false;
    uint64_t imuEntriesWritten_ = 0;
    uint64_t imuEntriesUnsynced_ = 0;
    uint64_t imuSkippedThisRun_ = 0;
    Clock::time_point lastImuFlush_ = Clock::now();

    // Declared last: destroyed first, so its threads end before the rest goes.
    DepthPngWriter depthWriter_;
};

bool SaveRun::createFolders(const std::string& base, std::error_code& error)
{
    namespace fs = std::filesystem;
    // Without devices the images go into the session folder itself.
    std::vector<std::string> folders;
    if (devices_.empty()) {
        folders = {base + "/color", base + "/depth"};
    } else {
        for (const auto& device : devices_) {
            folders.push_back(base + "/" + device + "/color");
            folders.push_back(base + "/" + device + "/depth");
        }
    }
    for (const auto& folder : folders) {
        fs::create_directories(folder, error);
        if (!error && !fs::is_directory(folder, error) && !error)
            error = std::make_error_code(std::errc::not_a_directory);
        if (error)
            return false;
    }
    return true;
}

bool SaveRun::settleSessionFolder()
{
    info_ = context_.collectionInfo();
    mode_ = captureModeOf(info_.capture_mode);
    for (const auto& name : splitDeviceList(info_.devices))
        devices_.push_back(safePathComponent(name));

    path_ = context_.baseSavePath();
    if (!path_.empty()) {
        LOGD << "Reusing existing save path: " << path_;
        std::error_code error;
        if (createFolders(path_, error)) {
            if (!devices_.empty()) {
                const std::string deviceDir = path_ + "/" + devices_.front();
                std::unique_lock lock(context_.mutex);
                if (context_.RGBSavePath.empty())
                    context_.RGBSavePath = deviceDir;
            }
            if (!devices_.empty()) {
                const std::string deviceDir = path_ + "/" + devices_.front();
                std::unique_lock lock(context_.mutex);
                if (context_.DepthSavePath.empty())
                    context_.DepthSavePath = deviceDir;
            }
            LOGD << "Verified existing save directories: " << path_;
        } else {
            LOGE << "Failed to verify directories: " << error.message();
            path_.clear();
        }
    }

    if (path_.empty()) {
        std::string root = context_.storageRoot();
        if (root.empty()) {
            LOGW << "No storage root set, saving under the working directory";
            root = ".";
        }
        SessionPath session = PathBuilder::buildSessionPath(
            root, info_, info_.city, info_.scene_label, info_.task_label, info_.part_number, "");
        // An existing folder belongs to another session (two sessions in one
        // second, or a clock set back): never mix their files and manifests.
        std::error_code ignored;
        const std::string baseName = session.folder_4;
        for (int n = 2; std::filesystem::exists(session.full_path, ignored) && n < 1000; ++n) {
            session = PathBuilder::buildSessionPath(root, info_, info_.city, info_.scene_label, info_.task_label,
                info_.part_number, baseName + "_" + std::to_string(n));
        }
        path_ = session.full_path;
        const std::string deviceDir = devices_.empty() ? std::string() : path_ + "/" + devices_.front();
        context_.setSessionPaths(path_, deviceDir, deviceDir);
        LOGD << "BaseSavePath_: " << path_;
        std::error_code error;
        if (!PathBuilder::createDirectories(session, devices_) || (devices_.empty() && !createFolders(path_, error))) {
            if (error)
                LOGE << "Failed to create directories: " << error.message();
            LOGE << "Failed to create directories for session: " << path_;
            const QString folder = QString::fromStdString(path_);
            const QString reason = QString::fromStdString(error ? error.message() : std::string());
            emitToGui([folder, reason](TaskSaveWork& task) { emit task.sessionFolderFailed(folder, reason); });
            return false;
        }
    }

    fallbackDir_ = devices_.empty() ? path_ : path_ + "/" + devices_.front();
    const std::string rgb = context_.rgbSavePath();
    const std::string depth = context_.depthSavePath();
    rgbPrefix_ = relativeName(rgb.empty() ? fallbackDir_ : rgb);
    depthPrefix_ = relativeName(depth.empty() ? fallbackDir_ : depth);
    imuFile_ = (depth.empty() ? fallbackDir_ : depth) + "/data.json";
    const QString folder = QString::fromStdString(path_);
    emitToGui([folder](TaskSaveWork& task) { emit task.sessionFolderReady(folder); });
    return true;
}

void SaveRun::emitToGui(std::function<void(TaskSaveWork&)> emitter)
{
    // The task object lives in the GUI thread: the signal is emitted there.
    TaskSaveWork* task = &task_;
    QMetaObject::invokeMethod(task, [task, emitter = std::move(emitter)] { emitter(*task); }, Qt::QueuedConnection);
}

bool SaveRun::runOpen() const
{
    return task_.saving_.load() && task_.runGeneration_.load() == generation_ && failure_.empty();
}

void SaveRun::failed(const std::string& what)
{
    if (!failure_.empty())
        return;
    failure_ = what;
    LOGE << "Save run stopped by a failed write: " << what;
    const QString text = QString::fromStdString(what);
    emitToGui([text](TaskSaveWork& task) { emit task.writeFailed(text); });
}

size_t SaveRun::discardImageQueues()
{
    size_t discarded = 0;
    for (BoundedFrameQueue* queue : {&queues_.usbMjpegQueue, &queues_.depthMjpegQueue, &queues_.depthQueue})
        while (queue->pop())
            ++discarded;
    return discarded;
}

SaveRunResult SaveRun::result() const
{
    SaveRunResult result;
    result.path = QString::fromStdString(path_);
    result.colourSaved = colourSaved_;
    result.depthSaved = depthSaved_;
    result.usbSaved = usbSaved_;
    result.imuSaved = (imuEntriesWritten_ - std::min<uint64_t>(imu_.droppedLines(), imuEntriesWritten_)) / 2;
    result.imuLost = imuLost_;
    result.filesFailed = filesFailed_;
    result.discarded = discarded_;
    result.failure = QString::fromStdString(failure_);
    return result;
}

// Directory of savePath relative to the session folder, as manifest paths
// name it ("D1/"); "" for the session folder itself, "unknown/" elsewhere.
std::string SaveRun::relativeName(const std::string& savePath) const
{
    if (savePath == path_)
        return {};
    const std::string prefix = path_ + "/";
    if (savePath.size() > prefix.size() && savePath.compare(0, prefix.size(), prefix) == 0)
        return savePath.substr(prefix.size()) + "/";
    return "unknown/";
}

size_t SaveRun::takeImuRecords(size_t limit)
{
    size_t taken = 0;
    while (taken < limit) {
        auto record = queues_.imuQueue.pop();
        if (!record)
            break;
        recordImu(*record);
        ++taken;
    }
    return taken;
}

void SaveRun::recordImu(const FrameData& record)
{
    const char* text = reinterpret_cast<const char*>(record.data.get());
    json payload = json::parse(text, text + (text ? record.size : 0), nullptr, false);
    double accel[3];
    double gyro[3];
    if (payload.is_discarded() || !payload.is_object() || !readTriple(payload, "Accel", accel)
        || !readTriple(payload, "Gyro", gyro)) {
        // The camera side must send well-formed samples; one bad record must
        // not stop the run, and a stream of them must not flood the log.
        if (imuSkippedThisRun_++ == 0)
            LOGW << "Skipping malformed IMU record (" << record.size << " bytes, timestamp " << record.timestamp << ")";
        task_.imuRecordsSkipped_.fetch_add(1);
        return;
    }
    const double time = imuSampleTime(payload, record.timestamp);
    json accelEntry = imuEntry("accelerometer", accel, time);
    json gyroEntry = imuEntry("gyroscope", gyro, time);
    std::lock_guard lock(context_.imu_mutex);
    if (!context_.imu_entries.is_array())
        context_.imu_entries = json::array();
    context_.imu_entries.push_back(std::move(accelEntry));
    context_.imu_entries.push_back(std::move(gyroEntry));
}

// Moves the gathered IMU entries out of the context into data.json's write
// buffer; the buffer reaches the card at least once per flush interval.
void SaveRun::writeImuEntries(bool forceFlush)
{
    json entries;
    {
        std::lock_guard lock(context_.imu_mutex);
        entries = std::move(context_.imu_entries);
        context_.imu_entries = nullptr;
    }
    const size_t count = entries.is_array() ? entries.size() : 0;
    if (count > 0 && !imu_.isOpen()) {
        if (!imu_.open(imuFile_)) {
            if (!imuOpenFailed_)
                LOGE << "Failed to open JSON file for writing: " << imuFile_;
            imuOpenFailed_ = true;
            task_.imuSamplesLost_.fetch_add(count / 2);
            imuLost_ += count / 2;
            failed("cannot open " + imuFile_ + ": " + atomic_file::errorText(imu_.lastError()));
            return;
        }
        if (imu_.wasEmpty())
            imu_.appendLine(R"({"version":"1.0.0"})");
    }
    for (const auto& entry : entries.is_array() ? entries : json::array())
        imu_.appendLine(entry.dump(-1, ' ', false, json::error_handler_t::replace));
    imuEntriesWritten_ += count;
    imuEntriesUnsynced_ += count;

    const auto now = Clock::now();
    if (!forceFlush && now - lastImuFlush_ < std::chrono::milliseconds(TaskSaveWork::imuFlushIntervalMs))
        return;
    lastImuFlush_ = now;
    if (!imu_.isOpen())
        return;
    const size_t droppedBefore = imu_.droppedLines();
    size_t dropped = 0;
    if (!imu_.sync() && imu_.droppedLines() > droppedBefore) {
        dropped = imu_.droppedLines() - droppedBefore;
        if (!imuWriteFailed_)
            LOGE << "Failed to write IMU data to " << imuFile_ << ": " << atomic_file::errorText(imu_.lastError());
        imuWriteFailed_ = true;
        task_.imuSamplesLost_.fetch_add(dropped / 2);
        imuLost_ += dropped / 2;
        failed("cannot write " + imuFile_ + ": " + atomic_file::errorText(imu_.lastError()));
    }
    task_.imuSamplesWritten_.fetch_add((imuEntriesUnsynced_ - std::min<uint64_t>(dropped, imuEntriesUnsynced_)) / 2);
    imuEntriesUnsynced_ = 0;
}

std::string SaveRun::fileName(const FrameData& record) const
{
    // The timestamp names the file; a garbled one must not name a path.
    std::string name = safePathComponent(record.timestamp, "");
    return name.empty() ? makeTimestampText() : name;
}

void SaveRun::addToManifest(const std::string& key, const std::string& relativePath, std::vector<std::string> tags)
{
    ManifestEntry& entry = manifest_[key];
    entry.files.push_back(relativePath);
    entry.tags = std::move(tags);
    manifestDirty_ = true;
}

void SaveRun::removeFromManifest(const std::string& key, const std::string& relativePath)
{
    auto entry = manifest_.find(key);
    if (entry == manifest_.end())
        return;
    auto& files = entry->second.files;
    files.erase(std::remove(files.begin(), files.end(), relativePath), files.end());
    if (files.empty())
        manifest_.erase(entry);
    manifestDirty_ = true;
}

// Files the depth images that finished encoding; true when there were any.
bool SaveRun::collectDepthOutcomes()
{
    auto outcomes = depthWriter_.takeFinished();
    for (auto& outcome : outcomes) {
        if (!outcome.saved) {
            task_.imagesFailed_.fetch_add(1);
            ++filesFailed_;
            // A colour image never stays without its depth image.
            std::error_code ignored;
            if (!outcome.partnerFile.empty() && std::filesystem::remove(outcome.partnerFile, ignored)) {
                ++filesFailed_;
                --colourSaved_;
                removeFromManifest(outcome.manifestKey, outcome.partnerRelativePath);
                LOGW << "Removed " << outcome.partnerFile << ": its depth image could not be written";
            }
            failed("cannot write " + outcome.relativePath);
            continue;
        }
        task_.depthImagesSaved_.fetch_add(1);
        ++depthSaved_;
        addToManifest(outcome.manifestKey, outcome.relativePath, std::move(outcome.tags));
    }
    return !outcomes.empty();
}

bool SaveRun::imageWorkLeft() const
{
    return queues_.usbMjpegQueue.size() > 0 || queues_.depthMjpegQueue.size() > 0 || queues_.depthQueue.size() > 0
        || depthWriter_.pending() > 0;
}

bool SaveRun::saveColour(FrameData& record, bool fromUsb)
{
    std::string saveDir = fromUsb ? context_.rgbSavePath() : context_.depthSavePath();
    if (saveDir.empty())
        saveDir = fallbackDir_;  // the page closed the session meanwhile: stay inside it
    const std::string name = fileName(record);
    const std::string file = saveDir + "/color/" + name + ".png";
    const std::string relative = (fromUsb ? rgbPrefix_ : depthPrefix_) + "color/" + name + ".png";

    // The bytes as the camera delivered them, no re-encoding.
    const auto result = save_files::writeFileReplacing(file, record.data.get(), record.size, false);
    if (!result) {
        if (result.status == save_files::WriteStatus::OpenFailed)
            LOGE << "Failed to open file: " << file;
        else
            LOGE << "Failed to write file: " << file << " (" << atomic_file::errorText(result.error) << ")";
        task_.imagesFailed_.fetch_add(1);
        ++filesFailed_;
        failed("cannot write " + file + ": " + atomic_file::errorText(result.error));
        return false;
    }
    task_.colourImagesSaved_.fetch_add(1);
    if (fromUsb) {
        task_.usbImagesSaved_.fetch_add(1);
        ++usbSaved_;
    } else {
        ++colourSaved_;
    }
    addToManifest(record.capture_id.empty() ? name : record.capture_id, relative, context_.additionalTags());
    return true;
}

void SaveRun::saveDepth(FrameData& record, bool colourWritten)
{
    std::string saveDir = context_.depthSavePath();
    if (saveDir.empty())
        saveDir = fallbackDir_;
    const std::string name = fileName(record);
    DepthPngWriter::Job job;
    job.file = saveDir + "/depth/" + name + ".png";
    job.relativePath = depthPrefix_ + "depth/" + name + ".png";
    job.manifestKey = record.capture_id.empty() ? name : record.capture_id;
    job.tags = context_.additionalTags();
    if (colourWritten) {
        job.partnerFile = saveDir + "/color/" + name + ".png";
        job.partnerRelativePath = depthPrefix_ + "color/" + name + ".png";
    }
    job.record = std::move(record);  // the encoder owns the buffer from here
    depthWriter_.submit(std::move(job));
}

bool SaveRun::savePairFromQueues()
{
    // The camera queues a frame set's colour, then its depth, and pops never
    // run ahead of pushes: once a depth record waits, the heads of the two
    // queues are one frame set. A pair whose colour failed loses its depth too.
    if (queues_.depthQueue.size() == 0)
        return false;
    auto colour = queues_.depthMjpegQueue.pop();
    auto depth = queues_.depthQueue.pop();
    if (!depth) {
        if (colour)
            saveColour(*colour, false);
        return colour.has_value();
    }
    const bool paired = colour && colour->timestamp == depth->timestamp;
    bool colourWritten = false;
    if (colour)
        colourWritten = saveColour(*colour, false);
    if (!paired || colourWritten) {
        saveDepth(*depth, paired);
    } else {
        ++filesFailed_;
        task_.imagesFailed_.fetch_add(1);
    }
    return true;
}

void SaveRun::writeManifest()
{
    const std::string file = path_ + "/manifest.json";
    try {
        json manifest;  // null until the first entry: a run that kept nothing writes "null"
        for (const auto& [key, entry] : manifest_)
            manifest[key] = json{{"files", entry.files}, {"tags", entry.tags}};
        const std::string text = manifest.dump(2, ' ', false, json::error_handler_t::replace);
        // Replaced as a whole, so a reader or a power cut never meets half a file.
        if (save_files::writeFileReplacing(file, text.data(), text.size(), true))
            LOGD << "Wrote capture manifest to: " << file;
        else
            LOGE << "Failed to write manifest file: " << file;
    } catch (const std::exception& error) {
        LOGE << "Exception while writing manifest: " << error.what();
    }
    manifestDirty_ = false;
    lastManifestWrite_ = Clock::now();
}

void SaveRun::drainWhileSaving()
{
    // Single shot keeps only confirmed snapshots, listed with their tags in manifest.json.
    const bool manifestMode = !isContinuous(mode_);
    while (runOpen()) {
        // Every IMU record present: the IMU delivers 200 a second.
        bool didWork = takeImuRecords(BoundedFrameQueue::maxSize) > 0;
        writeImuEntries(false);

        const bool process = writeImages();
        bool imageWork = false;
        if (process) {
            if (auto record = queues_.usbMjpegQueue.pop()) {
                saveColour(*record, true);
                imageWork = true;
            }
            imageWork = savePairFromQueues() || imageWork;
        }
        imagesPending_ = imagesPending_ || imageWork;
        didWork = collectDepthOutcomes() || imageWork || didWork;
        if (process && imagesPending_ && !imageWorkLeft()) {
            imagesPending_ = false;
            emitToGui([](TaskSaveWork& task) { emit task.imagesWritten(); });
        }
        // Sleep only when there was nothing to do, so the queues never back up.
        if (!didWork)
            std::this_thread::sleep_for(std::chrono::milliseconds(TaskSaveWork::idleSleepMs));

        if (process && manifestMode && manifestDirty_ && !imageWorkLeft()
            && Clock::now() - lastManifestWrite_ >= std::chrono::milliseconds(TaskSaveWork::manifestIntervalMs))
            writeManifest();
    }
}

void SaveRun::finish()
{
    // Everything queued while the run was on belongs to it: the rest of the
    // IMU samples always, the rest of the frames in the continuous modes.
    takeImuRecords(BoundedFrameQueue::maxSize);
    if (failure_.empty() && (isContinuous(mode_) || writeImages())) {
        for (uint32_t n = queues_.usbMjpegQueue.size(); n > 0 && failure_.empty(); --n)
            if (auto record = queues_.usbMjpegQueue.pop())
                saveColour(*record, true);
        for (uint32_t n = std::max(queues_.depthMjpegQueue.size(), queues_.depthQueue.size());
             n > 0 && failure_.empty(); --n)
            savePairFromQueues();
    }
    depthWriter_.waitIdle();
    collectDepthOutcomes();
    if (!failure_.empty()) {
        discarded_ = discardImageQueues();
        if (discarded_ > 0)
            LOGW << "Discarded " << discarded_ << " queued images after the failed write";
    }

    writeImuEntries(true);
    if (imu_.isOpen()) {
        const size_t droppedBefore = imu_.droppedLines();
        if (!imu_.close()) {
            if (!imuWriteFailed_)
                LOGE << "Failed to write IMU data to " << imuFile_ << ": " << atomic_file::errorText(imu_.lastError());
            const size_t dropped = imu_.droppedLines() - droppedBefore;
            task_.imuSamplesLost_.fetch_add(dropped / 2);
            imuLost_ += dropped / 2;
        }
        const uint64_t lost = imu_.droppedLines();
        const uint64_t written = imuEntriesWritten_ - std::min<uint64_t>(lost, imuEntriesWritten_);
        task_.imuSamplesSaved_.fetch_add(written / 2);
        // Only what reached the file counts as saved.
        if (lost == 0)
            LOGD << "Saved all IMU data to " << imuFile_ << " (total " << written << " entries)";
        else
            LOGW << "Saved " << written << " of " << imuEntriesWritten_ << " IMU entries to " << imuFile_;
    }
    if (imuSkippedThisRun_ > 0)
        LOGW << "Skipped " << imuSkippedThisRun_ << " malformed IMU records in this run";

    if (!isContinuous(mode_))
        writeManifest();

    // A new run may already have started (its records stay for it).
    if (!task_.saving_.load())
        queues_.clearSaveQueues();

    makeDurable();
}

// Pushes the run's files and the folder entries naming them to the card.
void SaveRun::makeDurable()
{
    namespace fs = std::filesystem;
    if (!save_files::syncFileSystem(path_))
        LOGW << "Could not sync the file system of " << path_;
    std::vector<std::string> folders;
    for (const auto& device : devices_) {
        folders.push_back(path_ + "/" + device + "/color");
        folders.push_back(path_ + "/" + device + "/depth");
        folders.push_back(path_ + "/" + device);
    }
    if (devices_.empty()) {
        folders.push_back(path_ + "/color");
        folders.push_back(path_ + "/depth");
    }
    // The session folder and the levels above it that a new session created.
    fs::path level(path_);
    for (int i = 0; i < 5 && !level.empty(); ++i, level = level.parent_path())
        folders.push_back(level.string());
    for (const auto& folder : folders)
        atomic_file::syncDirectory(folder);
}

TaskSaveWork::TaskSaveWork(QObject* parent)
    : BaseTask(parent)
{
    static const int registered = qRegisterMetaType<SaveRunResult>("SaveRunResult");
    (void)registered;
    IsRunThread_ = true;
}

TaskSaveWork::~TaskSaveWork()
{
    stopTask();
    if (isRunning() && !wait(TaskManager::stopTimeoutMs)) {
        LOGW << "Task type: " << taskTypeName(taskType_) << " did not finish in time, forcing termination.";
        terminate();
        wait();
    }
}

int TaskSaveWork::postTask(QVariant)
{
    bool accepted = false;
    {
        std::lock_guard lock(mutex_);
        if (!hasTask_.load()) {
            hasTask_ = true;
            accepted = true;
            if (jobRunning_)
                postedDuringJob_ = true;  // only after cancelTask: run the job again
        } else if (jobRunning_) {
            refusedDuringJob_ = true;
        }
    }
    if (!accepted) {
        LOGD << "task is already running. Cannot add a new task.";
        return -1;
    }
    condition_.notify_one();
    return 0;
}

void TaskSaveWork::cancelTask()
{
    {
        std::lock_guard lock(mutex_);
        hasTask_ = false;
        postedDuringJob_ = false;
        refusedDuringJob_ = false;
    }
    condition_.notify_one();
}

void TaskSaveWork::stopTask()
{
    {
        std::lock_guard lock(mutex_);
        hasTask_ = false;
        IsRunThread_ = false;
        postedDuringJob_ = false;
        refusedDuringJob_ = false;
    }
    condition_.notify_one();
}

bool TaskSaveWork::isTaskRunning() const
{
    return IsRunThread_.load();
}

void TaskSaveWork::run()
{
    const char* name = taskTypeName(taskType_);
    LOGI << name << " run start;";
    while (IsRunThread_.load()) {
        std::unique_lock lock(mutex_);
        condition_.wait(lock, [this] { return !IsRunThread_.load() || hasTask_.load(); });
        if (!IsRunThread_.load()) {
            LOGD << name << " condition_.wait over---this->IsRunThread_.load():" << IsRunThread_.load();
            break;
        }
        jobRunning_ = true;
        postedDuringJob_ = false;
        refusedDuringJob_ = false;
        lock.unlock();

        executeTask(QVariant::fromValue(nullptr));

        lock.lock();
        jobRunning_ = false;
        // A post accepted after a cancel, or a start refused while this run
        // was finishing, would otherwise be lost: run again for it.
        const bool again = IsRunThread_.load() && (postedDuringJob_ || (refusedDuringJob_ && saving_.load()));
        if (again) {
            hasTask_ = true;
            LOGI << name << " a new run was requested while the last one finished; starting it";
        } else {
            hasTask_ = false;
        }
    }
    LOGI << name << " run over";
}

void TaskSaveWork::executeTask(QVariant)
{
    LOGD << "===========================TaskSaveWork::executeTask start " << currentThreadHandle();
    SaveRun run(*this);
    if (!run.settleSessionFolder())
        return;
    run.drainWhileSaving();
    run.finish();

    const SaveRunResult result = run.result();
    LOGD << "TaskSaveWork completed, calling callback with path: " << run.sessionPath();
    runsCompleted_.fetch_add(1);
    // The task object lives in the GUI thread: the signals are emitted there.
    QMetaObject::invokeMethod(
        this,
        [this, result]() {
            emit runFinished(result);
            emit BaseSendTaskData(QVariant(result.path));
        },
        Qt::QueuedConnection);
}

bool TaskSaveWork::beginRun(bool writeImages)
{
    writeImages_ = writeImages;
    ++runGeneration_;
    saving_ = true;
    // A job still finishing the previous run is asked to run again (see run()).
    postTask(QVariant::fromValue(nullptr));
    return isRunning() && IsRunThread_.load();
}

void TaskSaveWork::setWriteImages(bool on)
{
    writeImages_ = on;
}

void TaskSaveWork::endRun()
{
    saving_ = false;
}

TaskSaveWork::Stats TaskSaveWork::stats() const
{
    Stats s;
    s.colourImagesSaved = colourImagesSaved_.load();
    s.usbImagesSaved = usbImagesSaved_.load();
    s.imuSamplesWritten = imuSamplesWritten_.load();
    s.depthImagesSaved = depthImagesSaved_.load();
    s.imuSamplesSaved = imuSamplesSaved_.load();
    s.imuRecordsSkipped = imuRecordsSkipped_.load();
    s.imuSamplesLost = imuSamplesLost_.load();
    s.imagesFailed = imagesFailed_.load();
    s.runsCompleted = runsCompleted_.load();
    return s;
}

std::shared_ptr<TaskSaveWork> registeredSaveTask()
{
    return std::dynamic_pointer_cast<TaskSaveWork>(TaskManager::instance().getTask(TaskTypes::TaskSaveWork));
}

void stopSaveTask()
{
    if (auto task = registeredSaveTask())
        task->stopTask();
}
