#include "file_manager.h"

#include "Log.h"

file_manager& file_manager::instance()
{
    static file_manager manager;
    return manager;
}

file_manager::file_manager() : uploader_(ledger_) {}

file_manager::~file_manager()
{
    uploader_.stop();
    LOGI << "~file_manager";
}
