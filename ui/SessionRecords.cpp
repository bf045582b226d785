#include "SessionRecords.h"

#include <algorithm>
#include <filesystem>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <QPainter>

#include "Log.h"
#include "MetaSchema.h"
#include "SessionFile.h"
#include "SessionFolder.h"
#include "ledger.h"
#include "session_meta.h"

namespace fs = std::filesystem;

namespace {

// The session view shows at most this many images; a longer continuous
// session is shown as every n-th frame set.
constexpr size_t kMaxGridImages = 240;
constexpr int kDepthViewWidth = 640;

QImage toQImage(const cv::Mat& bgr)
{
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, bgr.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    return QImage(rgb.data, rgb.cols, rgb.rows, static_cast<int>(rgb.step), QImage::Format_RGB888).copy();
}

// An image file read the hardened way (its folder is the boundary no link
// may leave) and decoded only when its header fits; empty on any failure.
cv::Mat decodeChecked(const std::string& file, bool depth, int flags)
{
    const fs::path path(file);
    image_header::Expectation expected;
    expected.depth = depth;
    image_header::Header header;
    std::string bytes;
    if (auto problem = session_check::loadImage(path.parent_path().string(), path.filename().string(), expected, header,
            bytes)) {
        LOGW << "Image not shown: " << file << ": " << problem->detail;
        return {};
    }
    try {
        return cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()), flags);
    } catch (const std::exception& error) {  // cv::Exception, std::bad_alloc
        LOGW << "Image not shown: " << file << ": " << error.what();
        return {};
    }
}

} // namespace

SessionRow sessionRowFromPath(const QString& storageRoot, const QString& path)
{
    SessionRow row;
    row.path = path;
    QString root = storageRoot;
    while (root.size() > 1 && root.endsWith('/'))
        root.chop(1);
    row.relative = path.startsWith(root + '/') ? path.mid(root.size() + 1) : path;
    const QStringList levels = row.relative.split('/', Qt::SkipEmptyParts);
    if (levels.isEmpty())
        return row;
    row.sessionTime = levels.last();
    if (levels.size() >= 3) {
        // <date>-<city>-<scene>: the scene label may hold "-" itself.
        const QString first = levels.first();
        row.date = first.section('-', 0, 0);
        row.scene = first.section('-', 2);
        row.task = levels.at(1);
        if (levels.size() >= 4)
            row.part = levels.at(2);
    }
    return row;
}

QImage thumbnailOf(const std::string& file, int width)
{
    // Reduced decoding: the JPEG decoder scales while it decodes.
    cv::Mat image = decodeChecked(file, false, cv::IMREAD_REDUCED_COLOR_4);
    if (image.empty())
        return {};
    const int height = std::max(1, image.rows * width / std::max(1, image.cols));
    cv::Mat small;
    cv::resize(image, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    return toQImage(small);
}

QImage placeholderThumbnail(int width)
{
    // 4:3 grey with a cross: an image that could not be shown.
    QImage image(width, width * 3 / 4, QImage::Format_RGB888);
    image.fill(QColor(64, 64, 64));
    QPainter painter(&image);
    painter.setPen(QPen(QColor(160, 160, 160), 2));
    painter.drawLine(0, 0, image.width() - 1, image.height() - 1);
    painter.drawLine(0, image.height() - 1, image.width() - 1, 0);
    return image;
}

QImage colourisedDepth(const std::string& file)
{
    const cv::Mat depth = decodeChecked(file, true, cv::IMREAD_UNCHANGED);
    if (depth.empty() || depth.type() != CV_16UC1)
        return {};
    const cv::Mat valid = depth > 0;
    double nearest = 0, farthest = 0;
    cv::minMaxLoc(depth, &nearest, &farthest, nullptr, nullptr, valid);
    cv::Mat scaled;
    const double span = std::max(1.0, farthest - nearest);
    // Near is 255 (red in the map), far 0 (blue).
    depth.convertTo(scaled, CV_8U, -255.0 / span, 255.0 * farthest / span);
    cv::Mat colours;
    cv::applyColorMap(scaled, colours, cv::COLORMAP_JET);
    colours.setTo(cv::Scalar::all(0), ~valid);
    if (colours.cols > kDepthViewWidth)
        cv::resize(colours, colours, cv::Size(kDepthViewWidth, colours.rows * kDepthViewWidth / colours.cols), 0, 0,
            cv::INTER_AREA);
    return toQImage(colours);
}

bool removeSessionFolder(const std::string& storageRoot, const std::string& session, std::string& error)
{
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(storageRoot, ec);
    const fs::path target = fs::weakly_canonical(session, ec);
    const auto relative = target.lexically_relative(root);
    if (ec || root.empty() || relative.empty() || *relative.begin() == ".." || relative == ".") {
        error = "not a folder below the storage root";
        return false;
    }
    fs::remove_all(target, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    // The task, part and dataset levels the session leaves empty go too.
    for (fs::path level = target.parent_path(); level != root && level.lexically_relative(root).begin()->string() != "..";
         level = level.parent_path()) {
        if (!fs::is_empty(level, ec) || ec || !fs::remove(level, ec))
            break;
    }
    return true;
}

QStringList scanSessions(const QString& storageRoot)
{
    std::vector<std::string> sessions =
        session_folder::findBelow(storageRoot.toStdString(), session_folder::kStorageRootDepth);
    // Newest first: by the session time level, then by path.
    std::sort(sessions.begin(), sessions.end(), [](const std::string& a, const std::string& b) {
        const std::string timeA = fs::path(a).filename().string();
        const std::string timeB = fs::path(b).filename().string();
        return timeA != timeB ? timeA > timeB : a > b;
    });
    QStringList paths;
    paths.reserve(static_cast<int>(sessions.size()));
    for (const auto& session : sessions)
        paths << QString::fromStdString(session);
    return paths;
}

SessionDetails loadSessionDetails(const QString& path)
{
    const std::string session = path.toStdString();
    SessionDetails details;
    std::string text;
    const session_file::Outcome read = session_file::readWhole(session, "meta.yaml", session_file::kMetaMaxBytes, text);
    const meta_schema::Reading reading = read.ok() ? meta_schema::read(text) : meta_schema::Reading{};
    if (reading.parsed) {
        details.date = QString::fromStdString(reading.meta.date);
        details.scene = QString::fromStdString(reading.meta.sceneLabel);
        details.task = QString::fromStdString(reading.meta.taskLabel);
        details.part = QString::fromStdString(reading.meta.partNumber);
    } else {
        // The check reports it; the row keeps what the folder names say.
        LOGD << "meta.yaml of " << session << " not readable: "
             << (read.ok() ? reading.problems.front() : read.detail);
    }
    const auto frameSets = session_check::listFrameSets(session);
    details.frameSets = static_cast<int>(frameSets.size());
    details.sizeBytes = static_cast<qint64>(get_dir_size(session));
    for (const auto& set : frameSets) {
        if (set.colour.empty())
            continue;
        details.thumbnail = thumbnailOf(session + "/" + set.colour, kThumbnailWidth);
        break;
    }
    if (details.thumbnail.isNull())
        details.thumbnail = placeholderThumbnail(kThumbnailWidth);
    return details;
}

void loadSessionImages(const QString& path, const std::function<bool()>& keepGoing,
    const std::function<void(SessionImage)>& deliver)
{
    const std::string session = path.toStdString();
    const auto frameSets = session_check::listFrameSets(session);
    session_meta::ImageLabels labels;
    // Only a regular file of the session within its bound is read for its labels.
    if (const session_file::Entry manifest = session_file::inspect(session, "manifest.json");
        manifest.outcome.ok() && !manifest.folder && manifest.size <= session_file::kManifestMaxBytes)
        labels = session_meta::readImageLabels(session + "/manifest.json");
    const size_t step = std::max<size_t>(1, (frameSets.size() + kMaxGridImages - 1) / kMaxGridImages);
    for (size_t i = 0; i < frameSets.size() && keepGoing(); i += step) {
        const auto& set = frameSets[i];
        if (set.colour.empty())
            continue;
        SessionImage image;
        image.colourFile = QString::fromStdString(set.colour);
        image.depthFile = QString::fromStdString(set.depth);
        if (const auto found = labels.find(set.colour); found != labels.end())
            for (const auto& tag : found->second)
                image.tags << QString::fromStdString(tag);
        image.thumbnail = thumbnailOf(session + "/" + set.colour, kThumbnailWidth);
        if (image.thumbnail.isNull())
            image.thumbnail = placeholderThumbnail(kThumbnailWidth);
        deliver(std::move(image));
    }
}

TaskThread::TaskThread() : thread_([this] { run(); }) {}

TaskThread::~TaskThread()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void TaskThread::post(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void TaskThread::run()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_)
                return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        // A task that fails on a damaged card must not end the terminal.
        try {
            task();
        } catch (const std::exception& error) {
            LOGE << "Background task failed: " << error.what();
        } catch (...) {
            LOGE << "Background task failed";
        }
    }
}
