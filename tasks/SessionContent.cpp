#include "SessionContent.h"

#include <algorithm>
#include <filesystem>

#include "AtomicFile.h"
#include "CalibrationJson.h"
#include "Log.h"

SessionContent::SessionContent(std::string sessionPath)
    : path_(std::move(sessionPath))
{
}

SessionContent::~SessionContent() = default;

std::shared_ptr<SessionContent> SessionContent::forSession(
    std::shared_ptr<SessionContent> last, const std::string& sessionPath)
{
    // A folder removed and made again under the same name holds none of the files remembered.
    std::error_code ignored;
    const bool same = last && last->path_ == sessionPath
        && (!last->runEnded_ || std::filesystem::exists(sessionPath + "/" + checksums::fileName, ignored));
    return same ? last : std::make_shared<SessionContent>(sessionPath);
}

void SessionContent::beginRun(const std::string& deviceDir, const std::string& devicePrefix)
{
    deviceDir_ = deviceDir;
    devicePrefix_ = devicePrefix;
    device_ = &devices_[devicePrefix];
    fitter_ = clock_fit::Fitter();
    waiting_.clear();
    rowsWritten_ = 0;
    framesFailed_ = false;
    // A new run states its camera again (it may have been reconnected or reconfigured).
    device_->calibration.reset();
}

std::string SessionContent::deviceRelative(const std::string& sessionRelative) const
{
    return sessionRelative.compare(0, devicePrefix_.size(), devicePrefix_) == 0
        ? sessionRelative.substr(devicePrefix_.size())
        : sessionRelative;
}

void SessionContent::writeWhole(const std::string& relative, const std::string& text)
{
    const auto result = atomic_file::replace(path_ + "/" + relative, text);
    if (!result) {
        LOGE << "Failed to write " << path_ << "/" << relative << ": " << atomic_file::errorText(result.error);
        sums_.erase(relative);
        return;
    }
    fileWritten(relative, text.data(), text.size());
}

void SessionContent::frameSetArrived(const FrameSet& set)
{
    if (!device_)
        return;
    if (set.colour.data)
        fitter_.add(set.colour.deviceUs, set.hostUtcUs);
    if (set.depth.data)
        fitter_.add(set.depth.deviceUs, set.hostUtcUs);
    const auto& calibration = set.calibration;
    if (!calibration || calibration == device_->calibration)
        return;
    // One folder holds one camera's calibration: the depth camera's wins over a USB camera's.
    if (calibration->usbCamera && device_->calibration && !device_->calibration->usbCamera)
        return;
    device_->calibration = calibration;
    std::string text = calibration_json::render(*calibration);
    if (text == device_->calibrationText)
        return;
    if (!calibration->known())
        LOGW << "The camera gave no calibration; " << calibration_json::fileName << " says it is unknown";
    writeWhole(devicePrefix_ + calibration_json::fileName, text);
    device_->calibrationText = std::move(text);
}

void SessionContent::imuSampleArrived(const ImuSample& sample)
{
    fitter_.add(sample.accelUs, sample.hostUtcUs);
    fitter_.add(sample.gyroUs, sample.hostUtcUs);
}

std::string SessionContent::claimStem(const std::string& stem)
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    std::string name = stem;
    for (int n = 1;; ++n) {
        // A file of an earlier process in this folder counts as taken too.
        const bool taken = claimed_.count(devicePrefix_ + name) > 0
            || fs::exists(deviceDir_ + "/color/" + name + ".png", ignored)
            || fs::exists(deviceDir_ + "/depth/" + name + ".png", ignored);
        if (!taken)
            break;
        name = stem + "_" + std::to_string(n);
    }
    if (name != stem)
        LOGW << "Frame set stamp " << stem << " is taken (the clock went back); its files are named " << name;
    claimed_.insert(devicePrefix_ + name);
    return name;
}

void SessionContent::fileWritten(const std::string& relative, const void* data, size_t size)
{
    fileWritten(relative, checksums::sha256Hex(data, size));
}

void SessionContent::fileWritten(const std::string& relative, std::string sha256Hex)
{
    sums_[relative] = std::move(sha256Hex);
}

void SessionContent::fileRemoved(const std::string& relative)
{
    sums_.erase(relative);
    appending_.erase(relative);
}

void SessionContent::appended(const std::string& relative, std::string_view bytes)
{
    if (unhashable_.count(relative))
        return;
    auto found = appending_.find(relative);
    if (found == appending_.end()) {
        // The file grew before this process knew it: its hash cannot be continued from memory.
        std::error_code error;
        const auto size = std::filesystem::file_size(path_ + "/" + relative, error);
        if (!error && size > bytes.size()) {
            LOGW << relative << " was begun by an earlier program run; it is left out of " << checksums::fileName;
            unhashable_.insert(relative);
            return;
        }
        found = appending_.emplace(relative, checksums::Sha256()).first;
    }
    found->second.add(bytes);
}

void SessionContent::setWritten(const FrameSet& set, const std::string& colourRelative, const std::string& depthRelative)
{
    frames_index::Row row;
    if (!colourRelative.empty())
        row.colourFile = deviceRelative(colourRelative);
    row.colourDeviceUs = set.colour.deviceUs;
    row.colourIndex = set.colour.frameIndex;
    row.hostUtcNs = set.hostUtcUs * 1000;
    row.snapshotId = set.snapshotId;
    if (!depthRelative.empty()) {
        row.depthFile = deviceRelative(depthRelative);
        row.depthDeviceUs = set.depth.deviceUs;
        row.depthIndex = set.depth.frameIndex;
    }
    waiting_.push_back({depthRelative, std::move(row), depthRelative.empty()});
    appendReadyRows();
}

void SessionContent::depthFinished(const std::string& depthRelative, bool saved, const std::string& sha256Hex)
{
    auto found = std::find_if(
        waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return !w.ready && w.depthRelative == depthRelative; });
    if (saved)
        fileWritten(depthRelative, sha256Hex);
    if (found == waiting_.end())
        return;
    if (saved) {
        found->ready = true;
    } else {
        // The save run removes the colour image of a set whose depth failed: no row.
        if (!found->row.colourFile.empty())
            fileRemoved(devicePrefix_ + found->row.colourFile);
        waiting_.erase(found);
    }
    appendReadyRows();
}

void SessionContent::appendReadyRows()
{
    while (!waiting_.empty() && waiting_.front().ready) {
        appendRow(std::move(waiting_.front().row));
        waiting_.pop_front();
    }
}

void SessionContent::appendRow(frames_index::Row row)
{
    if (!device_ || framesFailed_)
        return;
    const std::string relative = devicePrefix_ + frames_index::fileName;
    if (!frames_.isOpen()) {
        if (!frames_.open(path_ + "/" + relative)) {
            LOGE << "Failed to open " << path_ << "/" << relative << ": " << atomic_file::errorText(frames_.lastError());
            framesFailed_ = true;
            return;
        }
        frames_.setOnWritten([this, relative](std::string_view bytes) { appended(relative, bytes); });
        if (frames_.wasEmpty())
            frames_.appendLine(frames_index::header);
    }
    row.set = ++device_->sets;
    frames_.appendLine(frames_index::renderRow(row));
    // Each row reaches the file as its set does: a reader never waits for the run's end.
    if (!frames_.flush()) {
        LOGE << "Failed to write " << path_ << "/" << relative << ": " << atomic_file::errorText(frames_.lastError());
        --device_->sets;
        return;
    }
    ++rowsWritten_;
}

void SessionContent::addRunCounts(const session_meta::StreamCounts& run)
{
    for (const auto& [stream, count] : run) {
        session_meta::StreamCount& total = counts_[stream];
        total.produced += count.produced;
        total.queued += count.queued;
        total.refused += count.refused;
        total.saved += count.saved;
    }
}

bool SessionContent::endRun()
{
    bool ok = true;
    if (frames_.isOpen() && !frames_.close()) {
        LOGE << "Failed to close " << path_ << "/" << devicePrefix_ << frames_index::fileName;
        ok = false;
    }
    // Sets whose depth image never finished have no row: the run failed before.
    waiting_.clear();
    if (device_) {
        if (const auto clock = fitter_.fit()) {
            device_->clocks.push_back(*clock);
            writeWhole(devicePrefix_ + clock_fit::fileName, clock_fit::render(device_->clocks));
        }
    }
    checksums::Sums all = sums_;
    for (const auto& [relative, hash] : appending_)
        all[relative] = hash.hexDigest();
    const std::string text = checksums::render(all);
    const auto result = atomic_file::replace(path_ + "/" + checksums::fileName, text);
    if (!result) {
        LOGE << "Failed to write " << path_ << "/" << checksums::fileName << ": " << atomic_file::errorText(result.error);
        ok = false;
    }
    device_ = nullptr;
    runEnded_ = true;
    return ok;
}
