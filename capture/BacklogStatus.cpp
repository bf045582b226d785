#include "BacklogStatus.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 kRateWindowMs = 10000;
// Fewer busy microseconds than this say nothing about the card yet.
constexpr uint64_t kMinBusyUs = 200000;

} // namespace

QString megabytesPerSecondText(double bytesPerSecond)
{
    return QString::number(bytesPerSecond / 1e6, 'f', 1) + QStringLiteral(" MB/s");
}

void BacklogStatus::startRecording()
{
    recent_.clear();
    slowCard_ = false;
    risingSinceMs_ = -1;
}

void BacklogStatus::add(const BacklogSample& sample)
{
    if (!recent_.empty()) {
        const BacklogSample& previous = recent_.back();
        if (risingSinceMs_ < 0) {
            if (sample.sets > previous.sets) {
                risingSinceMs_ = previous.atMs;
                risingFrom_ = previous.sets;
                risingPeak_ = sample.sets;
            }
        } else {
            risingPeak_ = std::max(risingPeak_, sample.sets);
            // Falling back by a tenth means the card is catching up; at the
            // bound the count only wobbles while the cameras' excess is dropped.
            if (uint64_t{sample.sets} * 10 < uint64_t{risingPeak_} * 9)
                risingSinceMs_ = -1;
        }
    }
    if (sample.sets == 0)
        slowCard_ = false;
    else if (risingSinceMs_ >= 0 && sample.atMs - risingSinceMs_ >= growthWarningMs && sample.sets > risingFrom_)
        slowCard_ = true;
    recent_.push_back(sample);
    // Keeps one sample older than the window, so the window is always covered.
    while (recent_.size() > 2 && recent_.back().atMs - recent_[1].atMs >= kRateWindowMs)
        recent_.pop_front();
}

double BacklogStatus::cardBytesPerSecond() const
{
    if (recent_.size() < 2)
        return 0;
    const BacklogSample& first = recent_.front();
    const BacklogSample& last = recent_.back();
    const uint64_t busyUs = last.cardBusyUs - std::min(last.cardBusyUs, first.cardBusyUs);
    if (busyUs < kMinBusyUs)
        return 0;
    const uint64_t bytes = last.cardBytes - std::min(last.cardBytes, first.cardBytes);
    return static_cast<double>(bytes) * 1e6 / static_cast<double>(busyUs);
}

QString BacklogStatus::recordingText() const
{
    const BacklogSample latest = recent_.empty() ? BacklogSample{} : recent_.back();
    const double rate = cardBytesPerSecond();
    QString text = QString::fromUtf8("积压 %1 组").arg(latest.sets);
    if (rate > 0 && latest.sets > 0)
        text += QString::fromUtf8(" (约 %1 秒)").arg(static_cast<qint64>(std::ceil(latest.bytes / rate)));
    if (rate > 0)
        text += QString::fromUtf8(" · 存储卡 ") + megabytesPerSecondText(rate);
    if (slowCard_)
        text += QStringLiteral(" · <span style=\"color:#D97706\">%1</span>").arg(QString::fromUtf8("存储卡写入速度不足"));
    return text;
}

void BacklogStatus::startDraining(qint64 nowMs)
{
    drainingSinceMs_ = nowMs;
    setsAtStop_ = recent_.empty() ? 0 : recent_.back().sets;
}

QString BacklogStatus::drainingText() const
{
    const uint32_t remaining = recent_.empty() ? 0 : recent_.back().sets;
    const uint32_t total = std::max(setsAtStop_, remaining);
    // The last files are still being encoded and synced when no set waits: not 100 % yet.
    const int percent = total == 0 ? 99 : std::min(99, static_cast<int>(100 * (total - remaining) / total));
    return QString::fromUtf8("正在写入剩余 %1 组… %2%").arg(remaining).arg(percent);
}

void BacklogStatus::finishDraining(qint64 nowMs)
{
    if (drainingSinceMs_ < 0)
        return;
    sessionWaitMs_ += std::max<qint64>(0, nowMs - drainingSinceMs_);
    drainingSinceMs_ = -1;
}
