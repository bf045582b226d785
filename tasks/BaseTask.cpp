#include "BaseTask.h"

BaseTask::BaseTask(QObject* parent)
    : QThread(parent)
{
    registerTaskTypeMetaType();
}

BaseTask::~BaseTask() = default;

void BaseTask::run()
{
    QThread::run();
}

int BaseTask::postTask(QVariant)
{
    return -1;
}

void BaseTask::cancelTask() { }

void BaseTask::stopTask() { }

bool BaseTask::isTaskRunning() const
{
    return hasTask_.load();
}

void BaseTask::executeTask(QVariant) { }
