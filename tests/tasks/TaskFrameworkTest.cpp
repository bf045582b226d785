#include <atomic>

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

// The save worker's thread loop around a job that holds, deaf to every
// request to end, until the test releases it.
class HeldTask : public TaskSaveWork {
public:
    void executeTask(QVariant) override
    {
        runs.fetch_add(1);
        inJob = true;
        while (!released)
            ::usleep(1000);  // a cancellation point, where terminate() takes effect
    }
    std::atomic<int> runs{0};
    std::atomic<bool> inJob{false};
    std::atomic<bool> released{false};
};

class TaskFramework : public ::testing::Test {
protected:
    void SetUp() override { TaskManager::instance().ClearAllTaskThread(); }
    void TearDown() override { TaskManager::instance().ClearAllTaskThread(); }
};

} // namespace

TEST_F(TaskFramework, TwoPostsBeforeTheJobStartsRunItOnce)
{
    auto task = keptUnderThreadSanitizer(std::make_shared<HeldTask>());
    EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), 0);
    EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), -1);
    ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
    ASSERT_TRUE(waitUntil([&] { return task->inJob.load(); }));
    EXPECT_EQ(task->postTask(QVariant()), -1) << "refused while busy";
    task->released = true;
    ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
    EXPECT_EQ(task->runs.load(), 1) << "a refused post is not queued while nothing is being saved";
}

// A run asked for while the job still finishes, by the operator's next start
// or by a post after a cancel, runs once the job is over.
TEST_F(TaskFramework, ARunAskedForWhileTheJobFinishesIsNotLost)
{
    for (const bool afterCancel : {false, true}) {
        SCOPED_TRACE(afterCancel ? "post after a cancel" : "start while finishing");
        auto task = keptUnderThreadSanitizer(std::make_shared<HeldTask>());
        ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
        ASSERT_EQ(task->postTask(QVariant()), 0);
        ASSERT_TRUE(waitUntil([&] { return task->inJob.load(); }));
        if (afterCancel) {
            task->cancelTask();
            EXPECT_EQ(task->postTask(QVariant()), 0) << "the cancel cleared the pending flag";
        } else {
            task->beginRun(true);
        }
        task->released = true;
        ASSERT_TRUE(waitUntil([&] { return task->runs.load() == 2; }));
        task->endRun();
        ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
        EXPECT_EQ(task->runs.load(), 2);
        TaskManager::instance().ClearAllTaskThread();
    }
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
}

TEST_F(TaskFramework, AJobOutlivingTheStopIsTerminated)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow a thread that ends by cancellation";
#endif
    auto& manager = TaskManager::instance();
    auto task = keptUnderThreadSanitizer(std::make_shared<HeldTask>());
    ASSERT_TRUE(manager.addTaskThreadStart(task));
    ASSERT_EQ(task->postTask(QVariant()), 0);
    ASSERT_TRUE(waitUntil([&] { return task->inJob.load(); }));

    kavrel::log::LogCapture capture;
    EXPECT_TRUE(manager.destroyTaskThreadStop(TaskTypes::TaskSaveWork));
    EXPECT_TRUE(capture.contains("Task type: [TaskSaveWork] did not finish in time, forcing termination."));
    EXPECT_TRUE(task->isFinished());
    EXPECT_FALSE(capture.contains("[TaskSaveWork] run over")) << "the loop never got to its end";
}
