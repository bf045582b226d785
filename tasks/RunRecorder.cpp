#include "RunRecorder.h"

#include "Log.h"
#include "config_manager.h"
#include "ledger.h"
#include "session_meta.h"

RunRecorder::RunRecorder(CollectionInfo info, std::string storageRoot, dataset_ledger* ledger)
    : info_(std::move(info))
    , storageRoot_(std::move(storageRoot))
    , fallbackTags_(session_meta::sessionTagsFallback(
          info_.capture_mode, info_.task_label, config_manager::instance().selected_tags_))
    , ledger_(ledger)
{
}

bool RunRecorder::writeMeta(const std::string& session, const ImageLabels* labels, std::string* written,
    const session_meta::StreamCounts* counts) const
{
    if (labels && labels->empty())
        labels = nullptr;
    // session_time is the folder's time level.
    return session_meta::writeSessionMeta(info_, session + "/meta.yaml", session, fallbackTags_, labels, written, counts);
}

bool RunRecorder::addLedgerRow(const std::string& session) const
{
    if (!ledger_)
        return false;
    const std::string prefix = storageRoot_ + "/";
    if (session.size() <= prefix.size() || session.compare(0, prefix.size(), prefix) != 0) {
        LOGE << "Session folder " << session << " is not below the storage root " << storageRoot_
             << "; no ledger row";
        return false;
    }
    const std::string relative = session.substr(prefix.size());
    LOGD << "Calling add_dir_record with relativePath: " << relative;
    return ledger_->add_dir_record(relative, "采集") == 0;
}
