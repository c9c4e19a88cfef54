#include "FSSyncRecord.h"

#include "CloudPath.h"

namespace Nuvaro {
namespace Sync {

FSSyncRecord::FSSyncRecord() : m_type(-1), m_size(0), m_modified(0) {}

FSSyncRecord::FSSyncRecord(const Poco::UUID& id, int type, const std::string& name, const std::string& parent,
                           const std::string& fullPath, Poco::Int64 size, Poco::Int64 modified,
                           const std::string& attribs, const std::string& flags, const std::string& friendlyName,
                           const std::string& syncFolderPath, const std::string& localParent,
                           const std::string& localFullPath)
    : FSSyncRecord(Nuvaro::DataSync::DataSyncRecord(id), type, name, parent, fullPath, size, modified, attribs,
                   flags, friendlyName, syncFolderPath, localParent, localFullPath, "", "") {}

FSSyncRecord::FSSyncRecord(const Nuvaro::DataSync::DataSyncRecord& base, int type, const std::string& name,
                           const std::string& parent, const std::string& fullPath, Poco::Int64 size,
                           Poco::Int64 modified, const std::string& attribs, const std::string& flags,
                           const std::string& friendlyName, const std::string& syncFolderPath,
                           const std::string& localParent, const std::string& localFullPath,
                           const std::string& fileCRC, const std::string& fileModTime)
    : DataSyncRecord(base.getId(), base.getUpdatedVersion(), base.getUpdatedPeer(), base.getCreatedVersion(),
                     base.getCreatedPeer(), base.getIsDeleted()),
      m_type(type),
      m_name(name),
      m_parent(parent),
      m_fullPath(fullPath),
      m_size(size),
      m_modified(modified),
      m_attribs(attribs),
      m_flags(flags),
      m_friendlyName(friendlyName),
      m_syncFolderPath(syncFolderPath),
      m_localFullPath(localFullPath),
      m_localParent(localParent),
      m_fileCRC(fileCRC),
      m_fileModTime(fileModTime) {}

FSSyncRecord::~FSSyncRecord() = default;

Nuvaro::Data::VariantRow FSSyncRecord::saveFSRecord() const {
    Nuvaro::Data::VariantRow row;
    row["FSTYPE"] = m_type;
    row["FSNAME"] = m_name;
    row["FSPARENT"] = CloudPath::convertToStdPath(m_parent);
    row["FSFULLPATH"] = CloudPath::convertToStdPath(m_fullPath);
    row["FSSIZE"] = m_size;
    row["FSMODIFIED"] = m_modified;
    row["FSATTRIBS"] = m_attribs;
    row["FSFLAGS"] = m_flags;
    row["FSFRIENDLY"] = m_friendlyName;
    saveBase(row);
    return row;
}

void FSSyncRecord::loadFSRecord(Nuvaro::Data::VariantRow& row) {
    loadBase(row);
    m_type = row["FSTYPE"].getInt();
    m_name = row["FSNAME"].getString();
    m_parent = CloudPath::convertToNativePath(row["FSPARENT"].getString());
    m_fullPath = CloudPath::convertToNativePath(row["FSFULLPATH"].getString());
    m_size = row["FSSIZE"].getInt64();
    m_modified = row["FSMODIFIED"].getInt64();
    m_attribs = row["FSATTRIBS"].getString();
    m_flags = row["FSFLAGS"].getString();
    m_friendlyName = row["FSFRIENDLY"].getString();
}

boost::shared_ptr<Nuvaro::Data::RawData> FSSyncRecord::toRawData() {
    Nuvaro::Data::VariantRow row = saveFSRecord();
    boost::shared_ptr<Nuvaro::Data::RawData> data(new Nuvaro::Data::RawData(row.getSize()));
    row.write(*data);
    return data;
}

void FSSyncRecord::fromRawData(boost::shared_ptr<Nuvaro::Data::RawData>& data) {
    if (!data)
        return;
    Nuvaro::Data::VariantRow row;
    row.read(*data);
    loadFSRecord(row);
}

} // namespace Sync
} // namespace Nuvaro
