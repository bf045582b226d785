#include "SessionStatus.h"

#include <chrono>

#include <QStringList>

#include "AtomicFile.h"
#include "CardRate.h"
#include "CollectionContext.h"
#include "Log.h"
#include "SaveFiles.h"

namespace {

const QString kSeparator = QStringLiteral("  ·  ");

QString elapsedText(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString coloured(const char* colour, const QString& text)
{
    return QStringLiteral("<span style=\"color:%1\">%2</span>").arg(QLatin1String(colour), text);
}

QString filesNotWrittenText(uint64_t failed)
{
    return QString::fromUtf8("保存失败: %1 个文件未写入").arg(failed);
}

} // namespace

std::string storageRootForCapture()
{
    const std::string root = CollectionContext::instance().storageRoot();
    return root.empty() ? std::string(".") : root;
}

std::optional<Notice> storageRefusal(const std::string& root, long long neededBytes)
{
    int error = 0;
    if (!save_files::canCreateFiles(root, error)) {
        LOGE << "Capture refused: cannot create files in " << root << ": " << atomic_file::errorText(error);
        return Notice{QString::fromUtf8("无法保存"),
            QString::fromUtf8("存储目录不可写, 采集未开始:\n%1\n(%2)")
                .arg(QString::fromStdString(root), QString::fromStdString(atomic_file::errorText(error)))};
    }
    const long long free = save_files::freeBytes(root);
    if (free >= 0 && free < neededBytes) {
        LOGW << "Capture refused: " << free << " bytes free in " << root << ", " << neededBytes << " needed";
        return Notice{QString::fromUtf8("存储空间不足"),
            QString::fromUtf8("剩余 %1, 采集至少需要 %2。\n请清理存储卡后再采集。")
                .arg(freeSpaceText(free), freeSpaceText(neededBytes))};
    }
    return std::nullopt;
}

std::optional<Notice> stopNotice(StopReason reason, long long startBytes)
{
    if (reason == StopReason::StorageFloor) {
        return Notice{QString::fromUtf8("存储空间不足"),
            QString::fromUtf8("剩余空间不足 %1, 采集已停止, 已保存的数据完整。")
                .arg(freeSpaceText(StorageGuard::floorFor(startBytes)))};
    }
    if (reason == StopReason::CameraLost) {
        return Notice{QString::fromUtf8("相机断开"),
            QString::fromUtf8("相机连接中断, 采集已停止, 已保存的数据完整。\n"
                              "相机恢复后预览会自动恢复。")};
    }
    return std::nullopt;
}

Notice folderFailedNotice(const QString& folder, const QString& reason)
{
    return {QString::fromUtf8("无法保存"),
        QString::fromUtf8("无法创建会话目录, 采集未开始:\n%1%2")
            .arg(folder, reason.isEmpty() ? QString() : QStringLiteral("\n(") + reason + QStringLiteral(")"))};
}

std::optional<Notice> exitQuestion(uint32_t waitingSets)
{
    // Half a second of frame sets or less.
    constexpr uint32_t kAskFromSets = 15;
    if (waitingSets < kAskFromSets)
        return std::nullopt;
    return Notice{QString::fromUtf8("正在写入"),
        QString::fromUtf8("还有 %1 组数据等待写入存储卡。\n退出前会先写完, 是否退出?").arg(waitingSets)};
}

SessionStatus::SessionStatus(std::function<qint64()> clock)
    : clock_(std::move(clock))
{
    if (!clock_) {
        clock_ = [] {
            return static_cast<qint64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                                           .count());
        };
    }
}

void SessionStatus::accepted(bool continuousStart)
{
    if (!open_) {
        open_ = true;
        kept_ = 0;
        hasData_ = false;
        filesFailed_ = 0;  // the last session's failures were shown at its finish
        finish_ = Finish::None;
    }
    if (continuousStart) {
        backlog_.startRecording();
        holdUntilMs_ = now() + tapGuardMs;
    }
}

void SessionStatus::snapshotKept()
{
    ++kept_;
    hasData_ = true;
}

std::optional<Notice> SessionStatus::runReported(const SaveRunResult& saved)
{
    const uint64_t failed = saved.filesFailed;
    if (failed == 0 && saved.failure.isEmpty())
        return std::nullopt;
    filesFailed_ += failed;
    LOGE << "Run ended by a failed write: " << failed << " files not written (" << saved.failure.toStdString() << ")";
    return Notice{QString::fromUtf8("保存失败"),
        filesNotWrittenText(failed) + QStringLiteral("\n") + saved.failure
            + QString::fromUtf8("\n已写入的数据完整, 采集已停止。")};
}

void SessionStatus::finishPressed()
{
    finish_ = Finish::Closing;
}

void SessionStatus::finishClosed()
{
    // The hold starts when the session has closed, however long its last snapshot took.
    finish_ = Finish::Closed;
    holdUntilMs_ = now() + tapGuardMs;
    open_ = false;
    kept_ = 0;
    hasData_ = false;
    ++generation_;
    backlog_.startSession();
}

void SessionStatus::reset()
{
    open_ = false;
    kept_ = 0;
    hasData_ = false;
    filesFailed_ = 0;
    finish_ = Finish::None;
    holdUntilMs_ = -1;
    ++generation_;
}

bool SessionStatus::holdsButtons() const
{
    return finish_ == Finish::Closing || (holdUntilMs_ >= 0 && now() < holdUntilMs_);
}

bool SessionStatus::holdEnded()
{
    if (holdUntilMs_ < 0 || holdsButtons())
        return false;
    holdUntilMs_ = -1;
    if (finish_ == Finish::Closed)
        finish_ = Finish::None;
    return true;
}

QString SessionStatus::finishText() const
{
    if (finish_ == Finish::None || (finish_ == Finish::Closed && !holdsButtons()))
        return QString::fromUtf8("结束");
    // Failures already known are reported instead of a success.
    return filesFailed_ > 0 ? filesNotWrittenText(filesFailed_) : QString::fromUtf8("打包完成");
}

std::optional<Notice> SessionStatus::slowCardNotice() const
{
    if (backlog_.sessionWaitMs() < BacklogStatus::longWaitMs)
        return std::nullopt;
    const qint64 seconds = (backlog_.sessionWaitMs() + 500) / 1000;
    LOGW << "The card kept the operator waiting " << seconds << " s after stopping in this session";
    return Notice{QString::fromUtf8("存储卡写入较慢"),
        QString::fromUtf8("停止采集后等待存储卡写入共 %1 秒。数据已完整写入。").arg(seconds)};
}

void SessionStatus::loadCardRate(const std::string& file, const std::string& root)
{
    storedCardRate_ = card_rate::load(file, root).value_or(0);
}

QString SessionStatus::statusLine(const Inputs& in) const
{
    const QString free = QString::fromUtf8("剩余 %1").arg(freeSpaceText(in.freeBytes));
    QStringList parts;
    if (!in.recording) {
        // Single shot writes at the operator's pace; nothing piles up.
        const QString shortfall = in.singleShot || storedCardRate_ <= 0
            ? QString()
            : card_rate::shortfallText(in.neededBytesPerSecond, storedCardRate_);
        if (backlog_.draining())
            parts << backlog_.drainingText();
        else if (!shortfall.isEmpty())
            parts << coloured("#D97706", shortfall);
        parts << free;
        return parts.join(kSeparator);
    }
    // Single shot takes snapshots at the operator's pace: a clock would suggest a recording.
    if (in.singleShot)
        parts << QString::fromUtf8("● 拍照") << QString::fromUtf8("已保存 %1 张").arg(kept_);
    else
        parts << QString::fromUtf8("● 录制 %1").arg(elapsedText(in.live.elapsedMs))
              << QString::fromUtf8("已保存 %1 组").arg(in.live.frameSetsSaved);
    parts << QString::fromUtf8("IMU %1 Hz").arg(static_cast<int>(in.live.imuRateHz + 0.5));
    const QString dropped = QString::fromUtf8("丢弃 %1").arg(in.live.droppedFrameSets);
    parts << (in.live.droppedFrameSets > 0 ? coloured("#DC2626", dropped) : dropped);
    if (!in.singleShot)
        parts << backlog_.recordingText();
    parts << free;
    return parts.join(kSeparator);
}
