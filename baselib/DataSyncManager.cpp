#include "DataSyncManager.h"

#include <typeinfo>

namespace Nuvaro {
namespace DataSync {

DataSyncStrategy::~DataSyncStrategy() = default;

bool RemoteWinsSyncStrategy::remoteWins(const DataSyncRecord&, const DataSyncRecord&) const { return true; }

namespace {

// The dynamic type every record of the merge must have, or null when neither
// the store nor the delta holds a record.
const std::type_info* expectedType(const DataSyncStore& store, const std::vector<DataSyncRecordPtr>& records) {
    for (const auto& entry : store.getRecords()) {
        if (!entry.second) continue;
        const DataSyncRecord& stored = *entry.second;
        return &typeid(stored);
    }
    if (!records.empty() && records.front()) {
        const DataSyncRecord& first = *records.front();
        return &typeid(first);
    }
    return nullptr;
}

bool sameVersions(const DataSyncRecord& a, const DataSyncRecord& b) {
    return a.getUpdatedVersion() == b.getUpdatedVersion() && a.getUpdatedPeer() == b.getUpdatedPeer() &&
           a.getCreatedVersion() == b.getCreatedVersion() && a.getIsDeleted() == b.getIsDeleted();
}

} // namespace

bool DataSyncManager::applyDeltaRecordSet(DataSyncStore& store, const DataSyncStatusSet&,
                                          const DataSyncStatusSet& remoteStatusSet, const std::string&,
                                          DataSyncStrategy& strategy, const std::vector<DataSyncRecordPtr>& records,
                                          DataSyncStats& stats) {
    const std::type_info* type = expectedType(store, records);
    for (const auto& record : records) {
        if (!record || record->getId().isNull()) return false;
        const DataSyncRecord& received = *record;
        if (typeid(received) != *type) return false;
    }

    for (const auto& remote : records) {
        ++stats.received;
        DataSyncRecordPtr local = store.getRecord(remote->getId());
        bool localDirty = local && local != remote && store.getDirtyRecords().count(remote->getId()) > 0;
        if (localDirty && !sameVersions(*local, *remote)) {
            ++stats.conflicts;
            local->isConflict(true);
            remote->isConflict(true);
            boost::shared_ptr<DataSyncStrategy> own = remote->getConflictResolutionStrategy();
            DataSyncStrategy& decider = own ? *own : strategy;
            if (!decider.remoteWins(*local, *remote)) {
                ++stats.skipped;
                continue;
            }
        }
        if (remote->getIsDeleted() == 1) ++stats.deleted;
        else if (local) ++stats.updated;
        else ++stats.added;
        store.putChangedRecord(remote);
    }
    store.setSyncStatusSet(remoteStatusSet);
    return true;
}

} // namespace DataSync
} // namespace Nuvaro
