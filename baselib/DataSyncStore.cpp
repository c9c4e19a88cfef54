#include "DataSyncStore.h"

#include "NuvaroException.h"

#include <algorithm>

namespace Nuvaro {
namespace DataSync {

DataSyncStore::DataSyncStore() : m_highestVersion(0) {}

void DataSyncStore::checkRecord(const DataSyncRecordPtr& record) {
    if (!record) throw Nuvaro::Exception("DataSyncStore: null record");
    if (record->getId().isNull()) throw Nuvaro::Exception("DataSyncStore: record without identity");
}

void DataSyncStore::noteVersions(const DataSyncRecord& record) {
    m_highestVersion = std::max({m_highestVersion, record.getUpdatedVersion(), record.getCreatedVersion()});
}

long DataSyncStore::nextVersion() { return ++m_highestVersion; }

void DataSyncStore::markDirty(const DataSyncRecordPtr& record) {
    m_records[record->getId()] = record;
    m_dirty[record->getId()] = record;
}

void DataSyncStore::insert(const DataSyncRecordPtr& record) {
    checkRecord(record);
    noteVersions(*record);
    m_records[record->getId()] = record;
}

void DataSyncStore::addNewRecord(const DataSyncRecordPtr& record) {
    checkRecord(record);
    noteVersions(*record);
    long version = nextVersion();
    record->setCreatedVersion(version);
    record->setUpdatedVersion(version);
    record->setCreatedPeer(m_peer);
    record->setUpdatedPeer(m_peer);
    record->setDeleted(0);
    markDirty(record);
    m_new[record->getId()] = record;
}

void DataSyncStore::markChanged(const DataSyncRecordPtr& record, int deleted) {
    noteVersions(*record);
    record->setUpdatedVersion(nextVersion());
    record->setUpdatedPeer(m_peer);
    record->setDeleted(deleted);
    markDirty(record);
}

void DataSyncStore::updateRecord(const DataSyncRecordPtr& record) {
    checkRecord(record);
    markChanged(record, 0);
}

void DataSyncStore::deleteRecord(const DataSyncRecordPtr& record) {
    checkRecord(record);
    DataSyncRecordPtr stored = getRecord(record->getId());
    markChanged(stored ? stored : record, 1);
}

void DataSyncStore::putChangedRecord(const DataSyncRecordPtr& record) {
    checkRecord(record);
    noteVersions(*record);
    markDirty(record);
}

void DataSyncStore::forgetChange(const Poco::UUID& id) {
    m_dirty.erase(id);
    m_new.erase(id);
}

DataSyncRecordPtr DataSyncStore::getRecord(const Poco::UUID& id) const {
    auto it = m_records.find(id);
    return it != m_records.end() ? it->second : DataSyncRecordPtr();
}

void DataSyncStore::clearDirtyRecords() {
    m_dirty.clear();
    m_new.clear();
}

void DataSyncStore::clear() {
    m_records.clear();
    clearDirtyRecords();
    m_highestVersion = 0;
}

} // namespace DataSync
} // namespace Nuvaro
