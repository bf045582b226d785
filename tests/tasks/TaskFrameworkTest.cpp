#include <atomic>
#include <condition_variable>
#include <mutex>

#include <unistd.h>

#include <gtest/gtest.h>

#include "SaveTestSupport.h"
#include "Log.h"
#include "TaskManager.h"
#include "TaskSaveWork.h"
#include "TestSupport.h"

using kavrel::test::waitUntil;
using save_test::keptUnderThreadSanitizer;

namespace {

// The save worker's thread loop around a job the test controls.
class ScriptedTask : public TaskSaveWork {
public:
    void executeTask(QVariant) override
    {
        runs.fetch_add(1);
        std::unique_lock lock(gate);
        inJob = true;
        opened.notify_all();
        opened.wait(lock, [this] { return released; });
        inJob = false;
    }
    void release()
    {
        std::lock_guard lock(gate);
        released = true;
        opened.notify_all();
    }
    bool waitInJob(int ms = 5000)
    {
        std::unique_lock lock(gate);
        return opened.wait_for(lock, std::chrono::milliseconds(ms), [this] { return inJob; });
    }

    std::atomic<int> runs{0};
    std::mutex gate;
    std::condition_variable opened;
    bool inJob = false;
    bool released = false;
};

// A job that ignores every request to end.
class StubbornTask : public TaskSaveWork {
public:
    void executeTask(QVariant) override
    {
        started = true;
        while (!giveUp)
            ::usleep(1000);  // a cancellation point, where terminate() takes effect
    }
    std::atomic<bool> started{false};
    std::atomic<bool> giveUp{false};
};

class TaskFramework : public ::testing::Test {
protected:
    void SetUp() override { TaskManager::instance().ClearAllTaskThread(); }
    void TearDown() override { TaskManager::instance().ClearAllTaskThread(); }
};

} // namespace

TEST_F(TaskFramework, TwoPostsBeforeTheJobStartsRunItOnce)
{
    auto task = keptUnderThreadSanitizer(std::make_shared<ScriptedTask>());
    EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), 0);
    EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), -1);
    ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
    ASSERT_TRUE(task->waitInJob());
    EXPECT_EQ(task->postTask(QVariant()), -1) << "refused while busy";
    task->release();
    ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
    EXPECT_EQ(task->runs.load(), 1) << "a refused post is not queued while nothing is being saved";
}

TEST_F(TaskFramework, AStartRefusedWhileARunFinishesIsSavedAfterIt)
{
    auto task = keptUnderThreadSanitizer(std::make_shared<ScriptedTask>());
    ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
    ASSERT_EQ(task->postTask(QVariant()), 0);
    ASSERT_TRUE(task->waitInJob());
    // The operator starts the next run while the last one is still finishing.
    task->beginRun(true);
    task->release();
    ASSERT_TRUE(waitUntil([&] { return task->runs.load() == 2; }));
    task->endRun();
    ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
    EXPECT_EQ(task->runs.load(), 2);
}

TEST_F(TaskFramework, APostAcceptedAfterACancelIsNotLost)
{
    auto task = keptUnderThreadSanitizer(std::make_shared<ScriptedTask>());
    ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
    ASSERT_EQ(task->postTask(QVariant()), 0);
    ASSERT_TRUE(task->waitInJob());
    task->cancelTask();
    EXPECT_EQ(task->postTask(QVariant()), 0) << "the cancel cleared the pending flag";
    task->release();
    ASSERT_TRUE(waitUntil([&] { return task->runs.load() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
}

TEST_F(TaskFramework, ManagerRefusesNullAndDuplicatesAndStopsWhatItHolds)
{
    auto& manager = TaskManager::instance();
    kavrel::log::LogCapture capture;
    EXPECT_FALSE(manager.addTaskThreadStart(nullptr));
    EXPECT_TRUE(capture.contains("Cannot add null task"));

    EXPECT_EQ(manager.getTask(TaskTypes::TaskSaveWork), nullptr);
    EXPECT_FALSE(manager.destroyTaskThreadStop(TaskTypes::TaskSaveWork));
    EXPECT_EQ(registeredSaveTask(), nullptr);

    auto first = keptUnderThreadSanitizer(std::make_shared<TaskSaveWork>());
    auto second = std::make_shared<TaskSaveWork>();
    ASSERT_TRUE(manager.addTaskThreadStart(first));
    EXPECT_FALSE(manager.addTaskThreadStart(second));
    EXPECT_FALSE(second->isRunning()) << "the refused task is not started";
    EXPECT_EQ(manager.getTask(TaskTypes::TaskSaveWork), first);
    ASSERT_TRUE(manager.destroyTaskThreadStop(TaskTypes::TaskSaveWork));
    EXPECT_TRUE(first->isFinished()) << "stopped and joined";
    EXPECT_EQ(manager.getTask(TaskTypes::TaskSaveWork), nullptr);

    // Clearing stops every registered task.
    auto third = keptUnderThreadSanitizer(std::make_shared<TaskSaveWork>());
    ASSERT_TRUE(manager.addTaskThreadStart(third));
    manager.ClearAllTaskThread();
    EXPECT_TRUE(third->isFinished());
    EXPECT_EQ(manager.getTask(TaskTypes::TaskSaveWork), nullptr);
}

TEST_F(TaskFramework, AJobOutlivingTheStopIsTerminated)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow a thread that ends by cancellation";
#endif
    auto& manager = TaskManager::instance();
    auto task = keptUnderThreadSanitizer(std::make_shared<StubbornTask>());
    ASSERT_TRUE(manager.addTaskThreadStart(task));
    ASSERT_EQ(task->postTask(QVariant()), 0);
    ASSERT_TRUE(waitUntil([&] { return task->started.load(); }));

    kavrel::log::LogCapture capture;
    EXPECT_TRUE(manager.destroyTaskThreadStop(TaskTypes::TaskSaveWork));
    EXPECT_TRUE(capture.contains("Task type: [TaskSaveWork] did not finish in time, forcing termination."));
    EXPECT_TRUE(task->isFinished());
    EXPECT_FALSE(capture.contains("[TaskSaveWork] run over")) << "the loop never got to its end";
}
