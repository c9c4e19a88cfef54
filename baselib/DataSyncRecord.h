#pragma once

// Base of every record kept in a DataSyncStore: an identity and the version
// bookkeeping the store and the server use to tell what changed.
//
//   identity          Poco::UUID, never nil for a record in a store
//   updated version   version of the last change, and the peer that made it
//   created version   version at creation, and the peer that made it
//   deleted           1 when the item is deleted (the record is kept)
//
// A record whose updated version equals its created version has not changed
// since it was created; DataSyncStore keeps that rule when it assigns
// versions. Subclasses (the sync record) add their own fields and store the
// base fields in their VariantRow form through saveBase / loadBase.
// Records are shared through boost::shared_ptr and used by one thread at a time.

#include "RawData.h"
#include "VariantRow.h"

#include <Poco/UUID.h>

#include <boost/shared_ptr.hpp>

#include <string>

namespace Nuvaro {
namespace DataSync {

class DataSyncStrategy;

class DataSyncRecord {
public:
    // Nil identity, versions 0, empty peers, not deleted.
    DataSyncRecord();
    explicit DataSyncRecord(const Poco::UUID& id);
    DataSyncRecord(const Poco::UUID& id, long updatedVersion, const std::string& updatedPeer, long createdVersion,
                   const std::string& createdPeer, int isDeleted);
    virtual ~DataSyncRecord();

    // A record type may name its own conflict strategy; the base names none
    // (an empty pointer), and the store then uses the strategy it is given.
    virtual boost::shared_ptr<DataSyncStrategy> getConflictResolutionStrategy();
    // Told that the record was found in conflict (`true`) or resolved; the base
    // does nothing.
    virtual void isConflict(bool conflict);
    // The record's binary form; the base has none (empty pointer).
    virtual boost::shared_ptr<Data::RawData> toRawData();
    // Reads the binary form; the base does nothing.
    virtual void fromRawData(boost::shared_ptr<Data::RawData>& data);

    // Stores the six base fields in `row` under the names "DSID" (identity text),
    // "DSUPDVERSION", "DSUPDPEER", "DSCRTVERSION", "DSCRTPEER", "DSDELETED".
    void saveBase(Data::VariantRow& row) const;
    // Reads them back; a missing field reads as 0 or "" (a missing identity as
    // the nil one). An identity text that is not a UUID (a damaged stored
    // record) throws Nuvaro::Exception, the only exception the readers of
    // stored data pass on; the record may then be partly read.
    void loadBase(Data::VariantRow& row);

    const Poco::UUID& getId() const { return id; }
    void setId(const Poco::UUID& value) { id = value; }
    long getUpdatedVersion() const { return updatedVersion; }
    void setUpdatedVersion(long value) { updatedVersion = value; }
    const std::string& getUpdatedPeer() const { return updatedPeer; }
    void setUpdatedPeer(const std::string& value) { updatedPeer = value; }
    long getCreatedVersion() const { return createdVersion; }
    void setCreatedVersion(long value) { createdVersion = value; }
    const std::string& getCreatedPeer() const { return createdPeer; }
    void setCreatedPeer(const std::string& value) { createdPeer = value; }
    // 1 when deleted, else 0.
    int getIsDeleted() const { return isdeleted; }
    // Any non-zero value is stored as 1.
    void setDeleted(int value) { isdeleted = value != 0 ? 1 : 0; }

protected:
    Poco::UUID id;
    long updatedVersion;
    std::string updatedPeer;
    long createdVersion;
    std::string createdPeer;
    int isdeleted;
};

typedef boost::shared_ptr<DataSyncRecord> DataSyncRecordPtr;

} // namespace DataSync
} // namespace Nuvaro
