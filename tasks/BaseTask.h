#pragma once
// A worker task: a thread that sleeps on condition_ until a job is posted,
// runs the job without the lock held, and sleeps again until it is stopped.
// The object itself lives in the thread that created it (the GUI thread), so
// queued invocations on it - such as the result signal - run there.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <QThread>
#include <QVariant>

#include "TaskTypes.h"

class BaseTask : public QThread {
    Q_OBJECT

public:
    explicit BaseTask(QObject* parent = nullptr);
    ~BaseTask() override;

    // Posts a job; 0 when accepted, -1 when refused. The base task takes none.
    virtual int postTask(QVariant data);
    // Drops the pending job flag (a running job runs on to its own end).
    virtual void cancelTask();
    // Asks the thread to end once the current job, if any, returns.
    virtual void stopTask();
    virtual bool isTaskRunning() const;
    // One job; runs on the task's own thread.
    virtual void executeTask(QVariant data);

    std::mutex mutex_;
    std::condition_variable condition_;
    std::atomic<bool> hasTask_{false};
    std::atomic<bool> IsRunThread_{false};
    TaskTypes::TaskType taskType_ = TaskTypes::TaskSaveWork;

signals:
    // The result of a job, emitted in the thread the task object lives in.
    void BaseSendTaskData(QVariant data);

protected:
    void run() override;
};
