#pragma once
// Process-wide registry of the running worker tasks, at most one per type.
// tasksMutex_ guards only the map: threads are started and joined after it
// is released, so a long wait never blocks a look-up.

#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include <QObject>

#include "BaseTask.h"

class TaskManager : public QObject {
    Q_OBJECT

public:
    static TaskManager& instance();
    ~TaskManager() override;

    // Registers the task under its taskType_ and starts its thread; false for
    // a null task or when that type is already registered.
    bool addTaskThreadStart(std::shared_ptr<BaseTask> task);
    // The registered task of that type, or null.
    std::shared_ptr<BaseTask> getTask(TaskTypes::TaskType type);
    // Stops one task (terminating it when it has not ended 5 s after the
    // stop) and removes it; false when none was registered.
    bool destroyTaskThreadStop(TaskTypes::TaskType type);
    void ClearAllTaskThread();

    // How long destroyTaskThreadStop waits before it terminates a thread.
    static constexpr unsigned long stopTimeoutMs = 5000;

private:
    TaskManager();

    std::shared_mutex tasksMutex_;
    std::unordered_map<TaskTypes::TaskType, std::shared_ptr<BaseTask>> tasks_;
};

// Platform thread handle of the calling thread, as log lines print it.
const void* currentThreadHandle();
