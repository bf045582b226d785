#pragma once
// The operator's session as the capture page shows it, without widgets:
// whether a session is open, what it kept and what failed, the card's
// backlog, the status line under the previews, the notices that explain a
// refused or ended capture, and the guard that keeps a double tap from
// stopping the run it just started or opening a new session right after a
// finish. The page feeds it the session's events and shows what it says.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QString>

#include "BacklogStatus.h"
#include "CaptureSession.h"

// A title and a message for the operator.
struct Notice {
    QString title;
    QString text;
};

// The storage root capture writes under ("." when none is set).
std::string storageRootForCapture();
// Why capture must not start on root (logged), or nothing when the card can take it.
std::optional<Notice> storageRefusal(const std::string& root, long long neededBytes);
// What the operator learns about a recording that ended by itself.
std::optional<Notice> stopNotice(StopReason reason, long long startBytes);
// The session folder could not be made: capture did not start.
Notice folderFailedNotice(const QString& folder, const QString& reason);
// Asked before exit while this many frame sets wait for the card; nothing
// when they are written before the operator could read the question.
std::optional<Notice> exitQuestion(uint32_t waitingSets);

class SessionStatus {
public:
    // A press within this long of an accepted start or of a finish is ignored.
    static constexpr qint64 tapGuardMs = 1000;

    // clock: milliseconds of a monotonic clock (default: a steady clock).
    explicit SessionStatus(std::function<qint64()> clock = {});

    // A start (continuous) or a snapshot was accepted: it opens a session when
    // none is open. A start holds the buttons for tapGuardMs.
    void accepted(bool continuousStart);
    void snapshotKept();
    // A run of the open session is on the card and recorded.
    void runRecorded() { hasData_ = true; }
    // A run reported: failed files count against the session (also one
    // already finished, whose finish then says so). A notice when it failed.
    std::optional<Notice> runReported(const SaveRunResult& saved);
    // The finish button: the buttons wait until the session has closed, then tapGuardMs more.
    void finishPressed();
    void finishClosed();
    // Back, exit, or a folder that could not be made: nothing is held any more.
    void reset();

    bool open() const { return open_; }
    int snapshotsKept() const { return kept_; }
    bool hasData() const { return hasData_; }
    uint64_t filesFailed() const { return filesFailed_; }
    // Changes whenever a session closes or is reset: a step of an older
    // session (a dialog that was open meanwhile) then does nothing.
    uint64_t generation() const { return generation_; }

    // A double tap is ignored: the main and the finish button wait.
    bool holdsButtons() const;
    // True once when a hold has run out since the last call: the buttons follow.
    bool holdEnded();
    // "结束", or what the last finish came to while it is shown.
    QString finishText() const;
    // Said at the finish when the card made the operator wait long after stops (logged).
    std::optional<Notice> slowCardNotice() const;

    BacklogStatus& backlog() { return backlog_; }
    const BacklogStatus& backlog() const { return backlog_; }

    // The card's rate kept from earlier recordings (none: unknown).
    void loadCardRate(const std::string& file, const std::string& root);
    struct Inputs {
        bool recording = false;
        bool singleShot = false;
        LiveCounts live;
        long long freeBytes = -1;
        double neededBytesPerSecond = 0;  // what the task's streams write
    };
    QString statusLine(const Inputs& in) const;

private:
    enum class Finish { None, Closing, Closed };
    qint64 now() const { return clock_(); }

    std::function<qint64()> clock_;
    bool open_ = false;
    int kept_ = 0;
    bool hasData_ = false;
    uint64_t filesFailed_ = 0;
    uint64_t generation_ = 0;
    Finish finish_ = Finish::None;
    qint64 holdUntilMs_ = -1;  // -1: no hold since the last holdEnded()
    BacklogStatus backlog_;
    double storedCardRate_ = 0;
};
