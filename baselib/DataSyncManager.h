#pragma once

// Merges a set of changed records received from another peer (the server's
// delta) into a DataSyncStore.
//
// applyDeltaRecordSet(store, localStatusSet, remoteStatusSet, peer, strategy,
// records, stats):
//   1. Checks the input first and returns false, changing nothing, when a
//      record is null, has the nil identity, or is of another dynamic type
//      than the store's records (or, for an empty store, than the first record
//      of the delta).
//   2. For each record, in order: when the store holds a dirty record of the
//      same identity whose versions differ from the remote one, that is a
//      conflict: both records are told (isConflict(true)) and the strategy
//      decides (the record's own strategy when it names one, else `strategy`);
//      when the local record wins, the remote one is skipped. Otherwise the
//      delta's own record object is put in the store and marked dirty (so
//      changes the caller makes to it after the merge are saved), with its
//      versions and deleted flag as received.
//   3. The remote status set becomes the store's status set.
//   4. Returns true.
// `localStatusSet` and `peer` are accepted for the callers' sake and not used:
// the server has already chosen which records the delta holds. `stats` is not
// reset; the counters of this call are added to it.
// Runs on the caller's thread; the store must not be used elsewhere meanwhile.

#include "DataSyncRecord.h"
#include "DataSyncStatusSet.h"
#include "DataSyncStore.h"

#include <string>
#include <vector>

namespace Nuvaro {
namespace DataSync {

// How a conflict between a local and a remote record is decided.
class DataSyncStrategy {
public:
    virtual ~DataSyncStrategy();
    // True when the remote record replaces the local one.
    virtual bool remoteWins(const DataSyncRecord& local, const DataSyncRecord& remote) const = 0;
};

// The server's record wins every conflict.
class RemoteWinsSyncStrategy : public DataSyncStrategy {
public:
    bool remoteWins(const DataSyncRecord& local, const DataSyncRecord& remote) const override;
};

// Counters of one or more merges.
struct DataSyncStats {
    int received = 0;   // records in the delta
    int added = 0;      // records the store did not hold
    int updated = 0;    // live records replacing a stored one
    int deleted = 0;    // records received with the deleted flag set
    int conflicts = 0;  // dirty local records that differed from the remote one
    int skipped = 0;    // remote records that lost a conflict
};

class DataSyncManager {
public:
    bool applyDeltaRecordSet(DataSyncStore& store, const DataSyncStatusSet& localStatusSet,
                             const DataSyncStatusSet& remoteStatusSet, const std::string& peer,
                             DataSyncStrategy& strategy, const std::vector<DataSyncRecordPtr>& records,
                             DataSyncStats& stats);
};

} // namespace DataSync
} // namespace Nuvaro
