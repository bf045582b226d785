#pragma once
// What the operator learns about frame sets waiting for the card: how many,
// how long they take to write at the card's measured rate, whether the card
// keeps up, and after "停止采集" how much is left to write. The page samples
// it once a second and shows its texts; no widgets here.

#include <cstdint>
#include <deque>

#include <QString>

// One look at the backlog and the card's write meter.
struct BacklogSample {
    qint64 atMs = 0;          // a monotonic clock
    uint32_t sets = 0;        // frame sets waiting in the queues
    uint64_t bytes = 0;       // their image bytes
    uint64_t cardBytes = 0;   // CardWriteMeter totals: bytes written so far
    uint64_t cardBusyUs = 0;  // and the time spent writing them
};

class BacklogStatus {
public:
    // A backlog that rises for this long means the card is slower than the cameras.
    static constexpr qint64 growthWarningMs = 3000;
    // A wait after stop at least this long is mentioned when the session finishes.
    static constexpr qint64 longWaitMs = 5000;

    // A recording starts: the growth and the card's recent rate start afresh.
    void startRecording();
    void add(const BacklogSample& sample);

    // Bytes a second over the last writes; 0 while unknown.
    double cardBytesPerSecond() const;
    // The card has been falling behind (latched until the backlog empties).
    bool slowCard() const { return slowCard_; }
    // "积压 N 组 (约 S 秒) · 存储卡 X MB/s", with the amber warning when slow.
    QString recordingText() const;

    // After a stop: what waited at the stop, and the wait since.
    void startDraining(qint64 nowMs);
    // "正在写入剩余 N 组… P%" while sets or their files are still being written.
    QString drainingText() const;
    // Ends a wait (the run reported); adds it to the session's total.
    void finishDraining(qint64 nowMs);
    bool draining() const { return drainingSinceMs_ >= 0; }
    // Milliseconds the card made the operator wait after stops in this session.
    qint64 sessionWaitMs() const { return sessionWaitMs_; }
    void startSession() { sessionWaitMs_ = 0; }

private:
    std::deque<BacklogSample> recent_;  // the last ten seconds or so
    bool slowCard_ = false;
    qint64 risingSinceMs_ = -1;         // the backlog has not fallen back since
    uint32_t risingFrom_ = 0;
    uint32_t risingPeak_ = 0;
    qint64 drainingSinceMs_ = -1;
    uint32_t setsAtStop_ = 0;
    qint64 sessionWaitMs_ = 0;
};

// "9.5 MB/s" (megabytes of 10^6 bytes, as cards are sold).
QString megabytesPerSecondText(double bytesPerSecond);
