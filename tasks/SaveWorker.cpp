#include "SaveWorker.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CollectionContext.h"
#include "DepthPngWriter.h"
#include "DataJson.h"
#include "FrameQueues.h"
#include "Log.h"
#include "PostToThread.h"
#include "AtomicFile.h"
#include "CaptureMode.h"
#include "SaveFiles.h"
#include "SessionContent.h"
#include "RunRecorder.h"
#include "SessionPath.h"
#include "TimestampText.h"

using Clock = std::chrono::steady_clock;

// One save run: settles the session folder, drains the queues while its
// worker is saving, then writes, syncs and reports. Lives on the worker
// thread for the length of one executeTask. The first failed write ends it:
// what is written stays whole and paired, what is still queued is discarded.
class SaveRun {
public:
    SaveRun(SaveWorker& task, uint64_t runId, uint64_t generation, std::shared_ptr<CaptureQueues> queues)
        : task_(task)
        , runId_(runId)
        , generation_(generation)
        , context_(CollectionContext::instance())
        , queues_(std::move(queues))
        , depthWriter_(DepthPngWriter::defaultThreads(), 2 * static_cast<size_t>(DepthPngWriter::defaultThreads()),
              [queues = queues_] { queues->wake(); }, &task.cardMeter_)
    {
    }

    bool settleSessionFolder(const RunFolder& folder);
    void drainWhileSaving();
    void finish();
    const std::string& sessionPath() const { return path_; }
    SaveRunResult result() const;

private:
    bool createFolders(const std::string& base, std::error_code& error);
    std::string continuedFolder(const RunFolder& folder);
    bool makeNewFolder(const std::string& root);
    size_t takeImuSamples();
    void recordImu(const ImuSample& sample);
    void flushImu(bool force);
    bool saveColour(FrameSet& set, const std::string& name);
    // colourWritten: the colour image of the same frame set is on the card.
    void saveDepth(FrameSet& set, const std::string& name, bool colourWritten);
    void saveFrameSet(FrameSet& set);
    bool saveQueuedSets(uint32_t limit);
    std::string fileName(const FrameSet& set) const;
    void addToManifest(const std::string& key, const std::string& relativePath, std::vector<std::string> tags);
    void removeFromManifest(const std::string& key, const std::string& relativePath);
    bool collectDepthOutcomes();
    bool imageWorkLeft() const;
    void takeConfirmedRequest();
    void completeRequest();
    Clock::time_point nextDeadline(bool manifestMode) const;
    void writeManifest();
    void makeDurable();
    void record();
    void writeMeta(const RunRecorder::ImageLabels* labels);
    session_meta::StreamCounts streamCounts() const;
    bool runOpen() const;
    bool writeImages() const { return task_.writeImages_.load(); }
    void failed(const std::string& what);
    template <typename Emit>
    void emitToGui(Emit emitter);

    SaveWorker& task_;
    const uint64_t runId_;
    const uint64_t generation_;
    CollectionContext& context_;
    const std::shared_ptr<CaptureQueues> queues_;  // the run's, shared with the cameras until it closes

    CollectionInfo info_;
    CaptureMode mode_ = CaptureMode::SingleShot;
    std::vector<std::string> devices_;
    std::string path_;           // session folder P
    std::string deviceDir_;      // where this run's images and data.json go
    std::string devicePrefix_;   // deviceDir_ relative to P as manifest paths name it ("D1/"), or ""
    std::string imuFile_;
    SnapshotRequest request_;    // the confirmed snapshot being written (id 0: none)
    std::optional<RunRecorder> recorder_;  // once the folder is settled
    std::shared_ptr<SessionContent> content_;  // calibration, frames index, clock, checksums

    std::map<std::string, manifest_json::Entry> manifest_;  // sorted, as manifest.json lists it
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
    bool imagesPending_ = false;  // image work since the last completed request

    save_files::AppendFile imu_;
    bool imuOpenFailed_ = false;
    bool imuWriteFailed_ = false;
    uint64_t imuEntriesWritten_ = 0;
    uint64_t imuEntriesUnsynced_ = 0;
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

bool SaveRun::settleSessionFolder(const RunFolder& folder)
{
    info_ = context_.collectionInfo();
    mode_ = captureModeOf(info_.capture_mode);
    std::string root = context_.storageRoot();
    if (root.empty()) {
        LOGW << "No storage root set, saving under the working directory";
        root = ".";
    }
    recorder_.emplace(info_, root, task_.ledger_);
    for (const auto& name : splitDeviceList(info_.devices))
        devices_.push_back(safePathComponent(name));

    path_ = continuedFolder(folder);
    if (path_.empty() && !makeNewFolder(root))
        return false;
    task_.settledRun_ = runId_;
    task_.settledFolder_ = path_;

    // Every camera's images and the IMU go to the first device's folder,
    // fixed for the run: the page closing the session meanwhile moves nothing.
    deviceDir_ = devices_.empty() ? path_ : path_ + "/" + devices_.front();
    devicePrefix_ = devices_.empty() ? std::string() : devices_.front() + "/";
    imuFile_ = deviceDir_ + "/data.json";
    content_ = SessionContent::forSession(task_.lastContent_, path_);
    task_.lastContent_ = content_;
    content_->beginRun(deviceDir_, devicePrefix_);
    // Written at once, so a session cut by a power loss still says what it is.
    writeMeta(nullptr);
    const QString made = QString::fromStdString(path_);
    emitToGui([runId = runId_, made](SaveWorker& task) { emit task.sessionFolderReady(runId, made); });
    return true;
}

// The folder the run was told to continue, its device folders checked; empty
// when it is to make a new one, or when the one named can no longer be used.
std::string SaveRun::continuedFolder(const RunFolder& folder)
{
    std::string path = folder.path;
    // The earlier run ran on this thread before this one; if it never settled
    // a folder (it failed or was dropped), this run starts the session afresh.
    if (path.empty() && folder.ofRun != 0 && folder.ofRun == task_.settledRun_)
        path = task_.settledFolder_;
    if (path.empty())
        return {};
    LOGD << "Reusing existing save path: " << path;
    std::error_code error;
    if (!createFolders(path, error)) {
        LOGE << "Failed to verify directories: " << error.message();
        return {};
    }
    LOGD << "Verified existing save directories: " << path;
    return path;
}

bool SaveRun::makeNewFolder(const std::string& root)
{
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
    LOGD << "New session folder: " << path_;
    std::error_code error;
    if (!PathBuilder::createDirectories(session, devices_) || (devices_.empty() && !createFolders(path_, error))) {
        if (error)
            LOGE << "Failed to create directories: " << error.message();
        LOGE << "Failed to create directories for session: " << path_;
        const QString folder = QString::fromStdString(path_);
        const QString reason = QString::fromStdString(error ? error.message() : std::string());
        emitToGui([folder, reason](SaveWorker& task) { emit task.sessionFolderFailed(folder, reason); });
        return false;
    }
    return true;
}

// A template, not a std::function: the emitter is stored only inside the
// posted event, so Qt's posted-event queue is its one hand-off to the GUI thread.
template <typename Emit>
void SaveRun::emitToGui(Emit emitter)
{
    // The task object lives in the GUI thread: the signal is emitted there.
    SaveWorker* task = &task_;
    postToThread(task, [task, emitter = std::move(emitter)] { emitter(*task); });
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
    emitToGui([text](SaveWorker& task) { emit task.writeFailed(text); });
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

size_t SaveRun::takeImuSamples()
{
    // Every sample present: the IMU delivers 200 a second.
    size_t taken = 0;
    for (uint32_t n = queues_->imu().size(); n > 0; --n) {
        auto sample = queues_->imu().pop();
        if (!sample)
            break;
        recordImu(*sample);
        ++taken;
    }
    return taken;
}

// Appends the sample's two entries to data.json's write buffer; the buffer
// reaches the card at least once per flush interval.
void SaveRun::recordImu(const ImuSample& sample)
{
    if (imuOpenFailed_) {
        task_.imuSamplesLost_.fetch_add(1);
        ++imuLost_;
        return;
    }
    if (!imu_.isOpen()) {
        if (!imu_.open(imuFile_)) {
            LOGE << "Failed to open JSON file for writing: " << imuFile_;
            imuOpenFailed_ = true;
            ++filesFailed_;  // data.json: the run's IMU file is not on the card
            task_.imuSamplesLost_.fetch_add(1);
            ++imuLost_;
            failed("cannot open " + imuFile_ + ": " + atomic_file::errorText(imu_.lastError()));
            return;
        }
        imu_.setOnWritten([content = content_, relative = devicePrefix_ + "data.json"](std::string_view bytes) {
            content->appended(relative, bytes);
        });
        if (imu_.wasEmpty())
            imu_.appendLine(data_json::versionLine);
    }
    content_->imuSampleArrived(sample);
    const double time = sample.time();
    imu_.appendLine(data_json::sensorLine("accelerometer", sample.accel, time, sample.accelUs));
    imu_.appendLine(data_json::sensorLine("gyroscope", sample.gyro, time, sample.gyroUs));
    imuEntriesWritten_ += 2;
    imuEntriesUnsynced_ += 2;
}

void SaveRun::flushImu(bool force)
{
    const auto now = Clock::now();
    if (!force && now - lastImuFlush_ < std::chrono::milliseconds(SaveWorker::imuFlushIntervalMs))
        return;
    lastImuFlush_ = now;
    if (!imu_.isOpen())
        return;
    const size_t droppedBefore = imu_.droppedLines();
    size_t dropped = 0;
    if (!imu_.sync() && imu_.droppedLines() > droppedBefore) {
        dropped = imu_.droppedLines() - droppedBefore;
        if (!imuWriteFailed_) {
            LOGE << "Failed to write IMU data to " << imuFile_ << ": " << atomic_file::errorText(imu_.lastError());
            ++filesFailed_;  // data.json is incomplete: one file not written whole
        }
        imuWriteFailed_ = true;
        task_.imuSamplesLost_.fetch_add(dropped / 2);
        imuLost_ += dropped / 2;
        failed("cannot write " + imuFile_ + ": " + atomic_file::errorText(imu_.lastError()));
    }
    task_.imuSamplesWritten_.fetch_add((imuEntriesUnsynced_ - std::min<uint64_t>(dropped, imuEntriesUnsynced_)) / 2);
    imuEntriesUnsynced_ = 0;
}

std::string SaveRun::fileName(const FrameSet& set) const
{
    // The timestamp names the file; a garbled one must not name a path.
    std::string name = safePathComponent(set.timestamp, "");
    return name.empty() ? makeTimestampText() : name;
}

void SaveRun::addToManifest(const std::string& key, const std::string& relativePath, std::vector<std::string> tags)
{
    manifest_json::Entry& entry = manifest_[key];
    entry.files.push_back(relativePath);
    entry.tags = std::move(tags);
    manifestDirty_ = true;
    request_.files.push_back(relativePath);
}

void SaveRun::removeFromManifest(const std::string& key, const std::string& relativePath)
{
    auto& written = request_.files;
    written.erase(std::remove(written.begin(), written.end(), relativePath), written.end());
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
            content_->depthFinished(outcome.relativePath, false, {});
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
        content_->depthFinished(outcome.relativePath, true, outcome.sha256);
        addToManifest(outcome.manifestKey, outcome.relativePath, std::move(outcome.tags));
    }
    return !outcomes.empty();
}

bool SaveRun::imageWorkLeft() const
{
    return queues_->imagesWaiting() || depthWriter_.pending() > 0;
}

bool SaveRun::saveColour(FrameSet& set, const std::string& name)
{
    const std::string file = deviceDir_ + "/color/" + name + ".png";
    const std::string relative = devicePrefix_ + "color/" + name + ".png";

    // The bytes as the camera delivered them, no re-encoding.
    task_.cardMeter_.begin();
    const auto result = save_files::writeFileReplacing(file, set.colour.data.get(), set.colour.size, false);
    task_.cardMeter_.end(result ? set.colour.size : 0);
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
    content_->fileWritten(relative, set.colour.data.get(), set.colour.size);
    task_.colourImagesSaved_.fetch_add(1);
    if (!set.depth.data) {
        task_.usbImagesSaved_.fetch_add(1);
        ++usbSaved_;
    } else {
        ++colourSaved_;
    }
    addToManifest(name, relative, request_.tags);
    return true;
}

void SaveRun::saveDepth(FrameSet& set, const std::string& name, bool colourWritten)
{
    DepthPngWriter::Job job;
    job.file = deviceDir_ + "/depth/" + name + ".png";
    job.relativePath = devicePrefix_ + "depth/" + name + ".png";
    job.manifestKey = name;
    job.tags = request_.tags;
    if (colourWritten) {
        job.partnerFile = deviceDir_ + "/color/" + name + ".png";
        job.partnerRelativePath = devicePrefix_ + "color/" + name + ".png";
    }
    job.image = std::move(set.depth);  // the encoder owns the buffer from here
    depthWriter_.submit(std::move(job));
}

// One frame set of either camera; a set whose colour failed loses its depth too.
void SaveRun::saveFrameSet(FrameSet& set)
{
    content_->frameSetArrived(set);
    // Never the name of a file already in the session: a clock set back repeats stamps.
    const std::string name = content_->claimStem(fileName(set));
    const bool colourWritten = !set.colour.data || saveColour(set, name);
    if (colourWritten)
        content_->setWritten(set, set.colour.data ? devicePrefix_ + "color/" + name + ".png" : std::string(),
            set.depth.data ? devicePrefix_ + "depth/" + name + ".png" : std::string());
    if (!set.depth.data)
        return;
    if (colourWritten) {
        saveDepth(set, name, set.colour.data != nullptr);
    } else {
        ++filesFailed_;
        task_.imagesFailed_.fetch_add(1);
    }
}

// Saves up to `limit` queued frame sets of each camera; true when there was one.
bool SaveRun::saveQueuedSets(uint32_t limit)
{
    bool any = false;
    for (BoundedQueue<FrameSet>* queue : {&queues_->usbFrames(), &queues_->depthSets()}) {
        for (uint32_t n = std::min(limit, queue->size()); n > 0 && failure_.empty(); --n) {
            auto set = queue->pop();
            if (!set)
                break;
            saveFrameSet(*set);
            any = true;
        }
    }
    return any;
}

void SaveRun::writeManifest()
{
    const std::string file = path_ + "/manifest.json";
    const std::string text = manifest_json::render(manifest_);
    // Replaced as a whole, so a reader or a power cut never meets half a file.
    if (save_files::writeFileReplacing(file, text.data(), text.size(), true)) {
        LOGD << "Wrote capture manifest to: " << file;
        content_->fileWritten("manifest.json", text.data(), text.size());
    } else
        LOGE << "Failed to write manifest file: " << file;
    manifestDirty_ = false;
    lastManifestWrite_ = Clock::now();
}

void SaveRun::drainWhileSaving()
{
    // Single shot keeps only confirmed snapshots, listed with their tags in manifest.json.
    const bool manifestMode = !isContinuous(mode_);
    while (runOpen()) {
        bool didWork = takeImuSamples() > 0;
        flushImu(false);

        const bool process = writeImages();
        if (process)
            takeConfirmedRequest();
        // One set of each camera per pass, so IMU samples never wait behind a backlog.
        const bool imageWork = process && saveQueuedSets(1);
        imagesPending_ = imagesPending_ || imageWork;
        didWork = collectDepthOutcomes() || imageWork || didWork;
        if (process && imagesPending_ && !imageWorkLeft()) {
            imagesPending_ = false;
            completeRequest();
        }
        if (process && manifestMode && manifestDirty_ && !imageWorkLeft()
            && Clock::now() - lastManifestWrite_ >= std::chrono::milliseconds(SaveWorker::manifestIntervalMs))
            writeManifest();
        // Nothing to do: sleep until a push, a command, a finished depth image or the next flush.
        if (!didWork)
            queues_->waitForWork(nextDeadline(manifestMode));
    }
}

Clock::time_point SaveRun::nextDeadline(bool manifestMode) const
{
    auto deadline = lastImuFlush_ + std::chrono::milliseconds(SaveWorker::imuFlushIntervalMs);
    if (manifestMode && manifestDirty_)
        deadline = std::min(deadline, lastManifestWrite_ + std::chrono::milliseconds(SaveWorker::manifestIntervalMs));
    return deadline;
}

void SaveRun::takeConfirmedRequest()
{
    if (auto confirmed = task_.takeConfirmedSnapshot())
        request_ = std::move(*confirmed);
}

// The images let through are on the card (or failed): the request they
// answered goes back to the GUI with its files.
void SaveRun::completeRequest()
{
    SnapshotRequest done = std::move(request_);
    request_ = SnapshotRequest{};
    emitToGui([done = std::move(done)](SaveWorker& task) { emit task.imagesWritten(done); });
}

void SaveRun::finish()
{
    // Everything queued while the run was on belongs to it: the rest of the
    // IMU samples always, the rest of the frames in the continuous modes.
    takeImuSamples();
    if (failure_.empty() && (isContinuous(mode_) || writeImages())) {
        takeConfirmedRequest();
        saveQueuedSets(CaptureQueues::frameSetCapacity);
    }
    depthWriter_.waitIdle();
    collectDepthOutcomes();
    if (!failure_.empty()) {
        // Counted as image files, like the failed ones: a depth camera's set holds two.
        discarded_ = 2 * queues_->depthSets().clear() + queues_->usbFrames().clear();
        if (discarded_ > 0)
            LOGW << "Discarded " << discarded_ << " queued images after the failed write";
    }

    flushImu(true);
    if (imu_.isOpen()) {
        const size_t droppedBefore = imu_.droppedLines();
        if (!imu_.close()) {
            if (!imuWriteFailed_) {
                LOGE << "Failed to write IMU data to " << imuFile_ << ": " << atomic_file::errorText(imu_.lastError());
                ++filesFailed_;
                imuWriteFailed_ = true;
            }
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

    if (!isContinuous(mode_))
        writeManifest();

    makeDurable();
    record();
}

// meta.yaml from what the run holds (single shot: each kept image with its
// snapshot's tags), then the ledger row: the session is then ready to upload.
void SaveRun::record()
{
    RunRecorder::ImageLabels labels;
    if (!isContinuous(mode_))
        for (const auto& [key, entry] : manifest_)
            for (const std::string& file : entry.files)
                labels[file] = entry.tags;
    content_->addRunCounts(streamCounts());
    writeMeta(&labels);
    content_->endRun();
    recorder_->addLedgerRow(path_);
}

// This run's counts: the cameras' from the capture policy, what reached the card from the run.
session_meta::StreamCounts SaveRun::streamCounts() const
{
    std::shared_ptr<const CapturePolicy> policy;
    {
        std::lock_guard lock(task_.runMutex_);
        policy = task_.policy_;
    }
    const SaveRunResult saved = result();
    session_meta::StreamCounts counts;
    const auto add = [&](const char* stream, const StreamCounts* camera, uint64_t savedCount) {
        session_meta::StreamCount& c = counts[stream];
        if (camera) {
            c.produced = camera->produced.load();
            c.queued = camera->queued.load();
            c.refused = camera->refused.load();
        }
        c.saved = savedCount;
    };
    add("color", policy ? &policy->colour : nullptr, saved.colourSaved);
    add("depth", policy ? &policy->depth : nullptr, saved.depthSaved);
    add("usb", policy ? &policy->usb : nullptr, saved.usbSaved);
    add("imu", policy ? &policy->imu : nullptr, saved.imuSaved);
    return counts;
}

void SaveRun::writeMeta(const RunRecorder::ImageLabels* labels)
{
    std::string text;
    const auto& counts = content_->streamCounts();
    if (recorder_->writeMeta(path_, labels, &text, counts.empty() ? nullptr : &counts))
        content_->fileWritten("meta.yaml", text.data(), text.size());
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

SaveWorker::SaveWorker(dataset_ledger* ledger, QObject* parent)
    : QObject(parent)
    , ledger_(ledger)
{
    static const int registered = qRegisterMetaType<SaveRunResult>("SaveRunResult");
    (void)registered;
}

SaveWorker::~SaveWorker()
{
    stop();
}

bool SaveWorker::start()
{
    std::lock_guard lock(runMutex_);
    if (thread_.joinable() || stopping_)
        return false;
    running_ = true;
    thread_ = std::thread([this] { threadLoop(); });
    return true;
}

bool SaveWorker::stop(int waitMs)
{
    {
        std::lock_guard lock(runMutex_);
        if (!thread_.joinable())
            return true;
        stopping_ = true;
    }
    // A run posted and not begun still runs: it writes what its queues hold.
    wake_.notify_one();
    endRun();
    bool inTime = true;
    {
        std::unique_lock lock(runMutex_);
        inTime = ended_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return threadEnded_; });
    }
    // Never killed mid-write: a thread still writing is waited for.
    if (!inTime)
        LOGW << "Save worker did not finish within " << waitMs << " ms; waiting for its last write";
    thread_.join();
    running_ = false;
    return inTime;
}

void SaveWorker::threadLoop()
{
    LOGI << "Save worker started";
    std::unique_lock lock(runMutex_);
    for (;;) {
        // Woken by beginRun or stop; a run posted meanwhile follows the one before.
        wake_.wait(lock, [this] { return stopping_ || runPosted_; });
        if (!runPosted_)
            break;
        runPosted_ = false;
        const uint64_t runId = nextRunId_;
        const uint64_t generation = runGeneration_.load();
        std::shared_ptr<CaptureQueues> queues = runQueues_;
        RunFolder folder = runFolder_;
        lock.unlock();
        executeRun(runId, generation, std::move(queues), std::move(folder));
        lock.lock();
    }
    threadEnded_ = true;
    ended_.notify_all();
    LOGI << "Save worker ended";
}

void SaveWorker::executeRun(
    uint64_t runId, uint64_t generation, std::shared_ptr<CaptureQueues> queues, RunFolder folder)
{
    LOGD << "Save run " << runId << " starts";
    SaveRun run(*this, runId, generation, std::move(queues));
    if (!run.settleSessionFolder(folder))
        return;
    run.drainWhileSaving();
    run.finish();

    SaveRunResult result = run.result();
    result.runId = runId;
    LOGD << "Save run " << runId << " finished in " << run.sessionPath();
    runsCompleted_.fetch_add(1);
    // The worker object lives in the GUI thread: the signal is emitted there.
    postToThread(this, [this, result]() { emit runFinished(result); });
}

uint64_t SaveWorker::beginRun(bool writeImages, std::shared_ptr<CaptureQueues> queues, RunFolder folder)
{
    std::shared_ptr<CaptureQueues> previous;
    uint64_t runId = 0;
    uint64_t dropped = 0;
    {
        std::lock_guard lock(runMutex_);
        if (!thread_.joinable() || stopping_)
            return 0;
        previous = std::exchange(runQueues_, std::move(queues));
        if (runPosted_) {
            dropped = nextRunId_;
            // Replacing a run that never began: its folder is this one's.
            if (folder.ofRun == dropped)
                folder = runFolder_;
        }
        runFolder_ = std::move(folder);
        confirmed_.reset();
        runId = ++nextRunId_;
        runPosted_ = true;
        writeImages_ = writeImages;
        ++runGeneration_;
        saving_ = true;
    }
    // A run still draining learns that a newer one began.
    if (previous)
        previous->wake();
    wake_.notify_one();
    if (dropped != 0)
        reportDropped(dropped, previous.get());
    return runId;
}

void SaveWorker::cancelPendingRun()
{
    uint64_t dropped = 0;
    std::shared_ptr<CaptureQueues> queues;
    {
        std::lock_guard lock(runMutex_);
        if (runPosted_) {
            dropped = nextRunId_;
            queues = runQueues_;
        }
        runPosted_ = false;
    }
    if (dropped != 0)
        reportDropped(dropped, queues.get());
}

void SaveWorker::reportDropped(uint64_t runId, CaptureQueues* queues)
{
    // The page never drops a run that holds data; should it ever, the loss is told.
    if (queues && (queues->backlogSets() > 0 || queues->imu().size() > 0))
        LOGW << "Save run " << runId << " was dropped before it began: " << queues->backlogSets()
             << " frame sets and " << queues->imu().size() << " IMU samples it held are not saved";
    postToThread(this, [this, runId]() { emit runDropped(runId); });
}

void SaveWorker::setCapturePolicy(std::shared_ptr<const CapturePolicy> policy)
{
    std::lock_guard lock(runMutex_);
    policy_ = std::move(policy);
}

void SaveWorker::setWriteImages(bool on)
{
    writeImages_ = on;
    wakeRun();
}

void SaveWorker::confirmSnapshot(SnapshotRequest request)
{
    {
        std::lock_guard lock(runMutex_);
        confirmed_ = std::move(request);
    }
    // After the request: a run that sees images let through finds their request.
    setWriteImages(true);
}

std::optional<SnapshotRequest> SaveWorker::takeConfirmedSnapshot()
{
    std::lock_guard lock(runMutex_);
    return std::exchange(confirmed_, std::nullopt);
}

void SaveWorker::wakeRun()
{
    std::shared_ptr<CaptureQueues> queues;
    {
        std::lock_guard lock(runMutex_);
        queues = runQueues_;
    }
    if (queues)
        queues->wake();
}

void SaveWorker::endRun()
{
    saving_ = false;
    wakeRun();
}

SaveWorker::Stats SaveWorker::stats() const
{
    Stats s;
    s.colourImagesSaved = colourImagesSaved_.load();
    s.usbImagesSaved = usbImagesSaved_.load();
    s.imuSamplesWritten = imuSamplesWritten_.load();
    s.depthImagesSaved = depthImagesSaved_.load();
    s.imuSamplesSaved = imuSamplesSaved_.load();
    s.imuSamplesLost = imuSamplesLost_.load();
    s.imagesFailed = imagesFailed_.load();
    s.runsCompleted = runsCompleted_.load();
    const CardWriteMeter::Totals card = cardMeter_.totals();
    s.cardBytesWritten = card.bytes;
    s.cardBusyUs = card.busyUs;
    return s;
}
