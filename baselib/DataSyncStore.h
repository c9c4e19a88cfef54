#pragma once

// The in-memory record store of one sync pass or scan: every record of a sync
// folder by identity, the records changed since the store was loaded (the
// dirty records, which the sync database writes back), the folder's status
// set, and the name of the local peer.
//
// How each operation treats a record (`r` is a shared pointer):
//   insert(r)        adds a record loaded from the database; not dirty, and
//                    its versions and deleted flag are kept as they are.
//   addNewRecord(r)  a new local item: created and updated version both become
//                    the next version (so they are equal), both peers become
//                    the store's peer, deleted 0; dirty.
//   updateRecord(r)  a changed item: updated version becomes the next version
//                    (so it differs from the created version), updated peer the
//                    store's peer, deleted 0 (a record of an item that came back
//                    on disk is revived this way); dirty.
//   deleteRecord(r)  works by identity: the store's own record with r's identity
//                    gets deleted 1, the next version and the store's peer, and
//                    becomes dirty; r itself is not touched unless the store had
//                    no such record, in which case r is changed that way and added.
// addNewRecord and updateRecord put the object they are given into the store
// (replacing any record of the same identity), so later changes made through
// that pointer are what the database writes.
//
// The next version is one more than the highest version the store has seen
// (in any record inserted, added or updated, or assigned by it), so a version
// the store assigns is always newer than every version it holds.
//
// A null record or one with the nil identity is refused with Nuvaro::Exception.
// The store is not locked: one thread at a time.

#include "DataSyncRecord.h"
#include "DataSyncStatusSet.h"

#include <Poco/UUID.h>

#include <map>
#include <string>

namespace Nuvaro {
namespace DataSync {

typedef std::map<Poco::UUID, DataSyncRecordPtr> DataSyncRecordMap;

class DataSyncStore {
public:
    DataSyncStore();

    void insert(const DataSyncRecordPtr& record);
    void addNewRecord(const DataSyncRecordPtr& record);
    void updateRecord(const DataSyncRecordPtr& record);
    void deleteRecord(const DataSyncRecordPtr& record);

    // Puts `record` in the store as it is (versions and deleted flag
    // unchanged) and marks it dirty: the form a merged server record takes.
    void putChangedRecord(const DataSyncRecordPtr& record);
    // Takes back the change of the record of that identity: it is no longer
    // dirty (nor new), so saving the store leaves what the database holds
    // for it as it was. The record itself stays in the store. Nothing
    // happens when the record is not dirty.
    void forgetChange(const Poco::UUID& id);

    // The record of that identity, or an empty pointer.
    DataSyncRecordPtr getRecord(const Poco::UUID& id) const;
    // Every record, by identity.
    const DataSyncRecordMap& getRecords() const { return m_records; }
    // The records changed since the last clearDirtyRecords, by identity.
    const DataSyncRecordMap& getDirtyRecords() const { return m_dirty; }
    // The records added by addNewRecord since the last clearDirtyRecords.
    const DataSyncRecordMap& getNewRecords() const { return m_new; }
    void clearDirtyRecords();
    // Forgets every record (dirty and new ones included) and the versions
    // seen, as in a newly built store; name, peer and status set stay.
    void clear();
    std::size_t size() const { return m_records.size(); }

    const std::string& getName() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }
    const std::string& getPeer() const { return m_peer; }
    void setPeer(const std::string& peer) { m_peer = peer; }
    DataSyncStatusSet& getSyncStatusSet() { return m_statusSet; }
    const DataSyncStatusSet& getSyncStatusSet() const { return m_statusSet; }
    void setSyncStatusSet(const DataSyncStatusSet& statusSet) { m_statusSet = statusSet; }

    // Takes the next version (see above).
    long nextVersion();

private:
    static void checkRecord(const DataSyncRecordPtr& record);
    void noteVersions(const DataSyncRecord& record);
    void markDirty(const DataSyncRecordPtr& record);
    // New updated version and peer, the given deleted flag, dirty.
    void markChanged(const DataSyncRecordPtr& record, int deleted);

    DataSyncRecordMap m_records;
    DataSyncRecordMap m_dirty;
    DataSyncRecordMap m_new;
    std::string m_name;
    std::string m_peer;
    DataSyncStatusSet m_statusSet;
    long m_highestVersion;
};

} // namespace DataSync
} // namespace Nuvaro
