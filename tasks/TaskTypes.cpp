#include "TaskTypes.h"

const char* taskTypeName(TaskTypes::TaskType type)
{
    switch (type) {
    case TaskTypes::TaskSaveWork:
        return "[TaskSaveWork]";
    }
    return "[UnknownTaskType]";
}

void registerTaskTypeMetaType()
{
    qRegisterMetaType<TaskTypes::TaskType>("TaskType");
}
