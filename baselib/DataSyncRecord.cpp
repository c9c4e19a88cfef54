#include "DataSyncRecord.h"

#include "NuvaroException.h"

namespace Nuvaro {
namespace DataSync {

DataSyncRecord::DataSyncRecord() : updatedVersion(0), createdVersion(0), isdeleted(0) {}

DataSyncRecord::DataSyncRecord(const Poco::UUID& id) : id(id), updatedVersion(0), createdVersion(0), isdeleted(0) {}

DataSyncRecord::DataSyncRecord(const Poco::UUID& id, long updatedVersion, const std::string& updatedPeer,
                               long createdVersion, const std::string& createdPeer, int isDeleted)
    : id(id), updatedVersion(updatedVersion), updatedPeer(updatedPeer), createdVersion(createdVersion),
      createdPeer(createdPeer), isdeleted(isDeleted != 0 ? 1 : 0) {}

DataSyncRecord::~DataSyncRecord() = default;

boost::shared_ptr<DataSyncStrategy> DataSyncRecord::getConflictResolutionStrategy() {
    return boost::shared_ptr<DataSyncStrategy>();
}

void DataSyncRecord::isConflict(bool) {}

boost::shared_ptr<Data::RawData> DataSyncRecord::toRawData() { return boost::shared_ptr<Data::RawData>(); }

void DataSyncRecord::fromRawData(boost::shared_ptr<Data::RawData>&) {}

void DataSyncRecord::saveBase(Data::VariantRow& row) const {
    row["DSID"] = id.toString();
    row["DSUPDVERSION"] = updatedVersion;
    row["DSUPDPEER"] = updatedPeer;
    row["DSCRTVERSION"] = createdVersion;
    row["DSCRTPEER"] = createdPeer;
    row["DSDELETED"] = isdeleted;
}

void DataSyncRecord::loadBase(Data::VariantRow& row) {
    std::string idText = row.getField("DSID").getString();
    Poco::UUID parsed;
    if (!idText.empty() && !parsed.tryParse(idText))
        throw Nuvaro::Exception("Malformed record identity in stored data: " + idText);
    id = parsed;
    updatedVersion = static_cast<long>(row.getField("DSUPDVERSION").getInt64());
    updatedPeer = row.getField("DSUPDPEER").getString();
    createdVersion = static_cast<long>(row.getField("DSCRTVERSION").getInt64());
    createdPeer = row.getField("DSCRTPEER").getString();
    isdeleted = row.getField("DSDELETED").getInt() != 0 ? 1 : 0;
}

} // namespace DataSync
} // namespace Nuvaro
