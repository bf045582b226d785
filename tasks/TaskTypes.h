#pragma once
// Kinds of background worker task. The task manager keeps at most one running
// task per kind; the value travels through queued signals, hence the meta-type.

#include <QMetaType>

namespace TaskTypes {

enum TaskType {
    TaskSaveWork = 0,
};

} // namespace TaskTypes

Q_DECLARE_METATYPE(TaskTypes::TaskType)

// "[TaskSaveWork]", or "[UnknownTaskType]" for any other value; every log
// line that names a task uses it.
const char* taskTypeName(TaskTypes::TaskType type);

// Registers TaskTypes::TaskType under the name "TaskType" (idempotent).
void registerTaskTypeMetaType();
