#include "TaskManager.h"

#include <mutex>
#include <vector>

#include "Log.h"

const void* currentThreadHandle()
{
    return reinterpret_cast<const void*>(QThread::currentThreadId());
}

TaskManager& TaskManager::instance()
{
    static TaskManager manager;
    return manager;
}

TaskManager::TaskManager()
    : QObject(nullptr)
{
}

TaskManager::~TaskManager()
{
    LOGD << "TaskManager destructor called.";
    ClearAllTaskThread();
}

bool TaskManager::addTaskThreadStart(std::shared_ptr<BaseTask> task)
{
    if (!task) {
        LOGE << "Cannot add null task";
        return false;
    }
    const TaskTypes::TaskType type = task->taskType_;
    std::shared_ptr<BaseTask> started;  // keeps the task alive across the start, whatever the map does meanwhile
    {
        std::unique_lock lock(tasksMutex_);
        auto found = tasks_.find(type);
        if (found != tasks_.end() && found->second) {
            LOGD << "ThreadID: " << currentThreadHandle() << " Task type: " << taskTypeName(type)
                 << " is already running.";
            return false;
        }
        auto& slot = tasks_[type];
        slot = std::move(task);
        started = slot;
    }
    started->start();
    LOGD << "Task type: " << taskTypeName(type) << " started successfully.";
    return true;
}

std::shared_ptr<BaseTask> TaskManager::getTask(TaskTypes::TaskType type)
{
    {
        std::shared_lock lock(tasksMutex_);
        auto found = tasks_.find(type);
        if (found != tasks_.end() && found->second)
            return found->second;
    }
    LOGD << "Task type: " << taskTypeName(type) << " is not running or already canceled.";
    return nullptr;
}

bool TaskManager::destroyTaskThreadStop(TaskTypes::TaskType type)
{
    std::shared_ptr<BaseTask> task;
    {
        std::unique_lock lock(tasksMutex_);
        auto found = tasks_.find(type);
        if (found == tasks_.end() || !found->second) {
            lock.unlock();
            LOGD << "Task type: " << taskTypeName(type) << " is not running or already canceled.";
            return false;
        }
        task = std::move(found->second);
        tasks_.erase(found);
    }
    task->stopTask();
    if (task->isRunning() && !task->wait(stopTimeoutMs)) {
        LOGW << "Task type: " << taskTypeName(type) << " did not finish in time, forcing termination.";
        task->terminate();
        task->wait();
    }
    task.reset();
    LOGD << "Task type: " << taskTypeName(type) << " canceled and destroyed.";
    return true;
}

void TaskManager::ClearAllTaskThread()
{
    std::vector<TaskTypes::TaskType> types;
    {
        std::shared_lock lock(tasksMutex_);
        types.reserve(tasks_.size());
        for (const auto& entry : tasks_)
            types.push_back(entry.first);
    }
    for (TaskTypes::TaskType type : types) {
        if (destroyTaskThreadStop(type))
            LOGD << taskTypeName(type) << " stopped successfully. ThreadID: " << currentThreadHandle();
        else
            LOGE << taskTypeName(type) << " failed to stop.";
    }
    {
        std::unique_lock lock(tasksMutex_);
        tasks_.clear();
    }
    LOGD << "All tasks cleared.";
}
