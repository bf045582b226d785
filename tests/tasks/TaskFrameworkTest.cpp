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

// Two posts before the job starts run it once; a post while it runs is
// refused, but a run asked for by the operator's next start or by a post
// after a cancel runs once the job is over.
TEST_F(TaskFramework, APostWhileTheJobRunsIsRefusedButARunAskedForIsNotLost)
{
    enum class During { Post, Start, PostAfterCancel };
    for (const During during : {During::Post, During::Start, During::PostAfterCancel}) {
        SCOPED_TRACE(static_cast<int>(during));
        auto task = keptUnderThreadSanitizer(std::make_shared<HeldTask>());
        EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), 0);
        EXPECT_EQ(task->postTask(QVariant::fromValue(nullptr)), -1);
        ASSERT_TRUE(TaskManager::instance().addTaskThreadStart(task));
        ASSERT_TRUE(waitUntil([&] { return task->inJob.load(); }));
        if (during == During::Post) {
            EXPECT_EQ(task->postTask(QVariant()), -1) << "refused, and not queued while nothing is being saved";
        } else if (during == During::Start) {
            task->beginRun(true);
        } else {
            task->cancelTask();
            EXPECT_EQ(task->postTask(QVariant()), 0) << "the cancel cleared the pending flag";
        }
        task->released = true;
        const int runs = during == During::Post ? 1 : 2;
        ASSERT_TRUE(waitUntil([&] { return task->runs.load() == runs; }));
        task->endRun();
        ASSERT_TRUE(waitUntil([&] { return !task->hasTask_.load(); }));
        EXPECT_EQ(task->runs.load(), runs);
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
}
