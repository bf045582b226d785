#pragma once
// Waits, without blocking the event loop, until the save worker has reported
// every run it accepted, so a run still being written keeps its meta.yaml and
// ledger row when the terminal closes. Woken by the session's reports; a card
// that is still writing moves the deadline, so the data is not left behind.

#include <QObject>
#include <QTimer>

#include "BacklogStatus.h"

class CaptureSession;

class WriteDrain : public QObject {
    Q_OBJECT
public:
    explicit WriteDrain(CaptureSession* session);

    // drained follows once no run is pending (at once when none is), or when
    // the writing made no progress for boundMs.
    void start(int boundMs);
    bool waiting() const { return waiting_; }

signals:
    // complete: every run reported.
    void drained(bool complete);

private:
    void onReport();
    void onDeadline();
    void finish(bool complete);

    CaptureSession* session_;
    QTimer deadline_;
    BacklogSample seen_;
    bool waiting_ = false;
};
