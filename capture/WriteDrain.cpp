#include "WriteDrain.h"

#include "CaptureSession.h"
#include "Log.h"

WriteDrain::WriteDrain(CaptureSession* session)
    : QObject(session)
    , session_(session)
{
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &WriteDrain::onDeadline);
    connect(session, &CaptureSession::runFinished, this, &WriteDrain::onReport);
    connect(session, &CaptureSession::folderFailed, this, &WriteDrain::onReport);
}

void WriteDrain::start(int boundMs)
{
    waiting_ = true;
    seen_ = session_->backlogSample();
    deadline_.setInterval(boundMs);
    deadline_.start();
    onReport();
}

void WriteDrain::onReport()
{
    if (waiting_ && session_->pendingRuns() == 0)
        finish(true);
}

void WriteDrain::onDeadline()
{
    const BacklogSample now = session_->backlogSample();
    if (now.cardBytes != seen_.cardBytes || now.sets != seen_.sets) {
        seen_ = now;
        deadline_.start();
        return;
    }
    LOGW << "Save worker did not report " << session_->pendingRuns() << " run(s); no write progressed for "
         << deadline_.interval() << " ms";
    finish(false);
}

void WriteDrain::finish(bool complete)
{
    waiting_ = false;
    deadline_.stop();
    emit drained(complete);
}
