#pragma once
// Finishes what a save run leaves on the card: meta.yaml, from the run's own
// copy of the collection info and the manifest it holds in memory, and the
// session's row in the ledger, from the path relative to the storage root
// that the run built. Runs on the save worker's thread and reads nothing back
// from the card.

#include <map>
#include <string>
#include <vector>

#include "CollectionContext.h"
#include "session_meta.h"

class dataset_ledger;

class RunRecorder {
public:
    // ledger may be null: then no row is added (tools and tests without one).
    RunRecorder(CollectionInfo info, std::string storageRoot, dataset_ledger* ledger);

    // Image path relative to the session folder -> its snapshot's tags.
    using ImageLabels = std::map<std::string, std::vector<std::string>>;

    // Replaces <session>/meta.yaml; labels null or empty: no image_info.
    // written, if given, receives the text that reached the card.
    // counts, if given, become its stream_counts.
    bool writeMeta(const std::string& session, const ImageLabels* labels, std::string* written = nullptr,
        const session_meta::StreamCounts* counts = nullptr) const;
    // Adds (or refreshes) the session's ledger row; false, logged, when the
    // folder is not below the storage root or the ledger refuses it.
    bool addLedgerRow(const std::string& session) const;

private:
    const CollectionInfo info_;
    const std::string storageRoot_;
    const std::vector<std::string> fallbackTags_;
    dataset_ledger* const ledger_;
};
