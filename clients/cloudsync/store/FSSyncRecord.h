#pragma once

// The sync record: one file or folder of a sync folder as the server knows it
// (server path, size, modification time, attributes, flags), where it lives
// locally, and the checksum and modification text last seen locally.
//
// One object serves three roles: a row of the sync database's OBJECT table, a
// record of a data store (handled through its base DataSyncRecord), and the
// parsed form of one server sync record (fromSAXRecord).
//
// Path fields:
//   Parent, FullPath             server paths ("/acct/docs/a.txt"); Parent is
//                                "" when the parent is the server root "/".
//   LocalParent, LocalFullPath   paths relative to the local sync root
//                                ("My Files/docs/a.txt"), never absolute.
// A record flagged "SKIP" by the server has no local counterpart: its four
// path fields all hold "SKIP". Every other record read from the server has a
// non-empty LocalFullPath inside one of the four local roots.
//
// Stored forms: the VariantRow / raw form carries the base fields and the nine
// fields FSTYPE ... FSFRIENDLY; SyncFolderPath, LocalFullPath, LocalParent,
// FileCRC and FileModTime are not part of it (a record read back from raw data
// keeps what those fields held).
//
// No lock: filled and read by one thread at a time; a transfer job carries its
// own copy. Shared through boost::shared_ptr.

#include "DataSyncRecord.h"
#include "RawData.h"
#include "VariantRow.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/Types.h>
#include <Poco/UUID.h>

#include <boost/shared_ptr.hpp>

#include <string>

class TiXmlElement;

namespace Nuvaro {
namespace Sync {

class FSSyncRecord : public Nuvaro::DataSync::DataSyncRecord {
public:
    // Type -1 (not set), every text empty, Size and Modified 0.
    FSSyncRecord();
    // A new local item found by the folder scan: the base holds only the
    // identity; FileCRC and FileModTime are empty.
    FSSyncRecord(const Poco::UUID& id, int type, const std::string& name, const std::string& parent,
                 const std::string& fullPath, Poco::Int64 size, Poco::Int64 modified, const std::string& attribs,
                 const std::string& flags, const std::string& friendlyName, const std::string& syncFolderPath,
                 const std::string& localParent, const std::string& localFullPath);
    // A database row: identity, versions, peers and deleted flag from `base`.
    FSSyncRecord(const Nuvaro::DataSync::DataSyncRecord& base, int type, const std::string& name,
                 const std::string& parent, const std::string& fullPath, Poco::Int64 size, Poco::Int64 modified,
                 const std::string& attribs, const std::string& flags, const std::string& friendlyName,
                 const std::string& syncFolderPath, const std::string& localParent,
                 const std::string& localFullPath, const std::string& fileCRC, const std::string& fileModTime);
    FSSyncRecord(const FSSyncRecord& other) = default;
    FSSyncRecord& operator=(const FSSyncRecord& other) = default;
    ~FSSyncRecord() override;

    // The VariantRow form written into a new RawData block.
    boost::shared_ptr<Nuvaro::Data::RawData> toRawData() override;
    // Reads the base and the nine VariantRow fields from a raw block. Throws
    // only Nuvaro::Exception, for any malformed data (cut short, a wrong tag,
    // an identity that is not a UUID); the record may then be partly read.
    void fromRawData(boost::shared_ptr<Nuvaro::Data::RawData>& data) override;

    // The nine fields (server paths in their stored form), then the base.
    Nuvaro::Data::VariantRow saveFSRecord() const;
    // The base, then the nine fields.
    void loadFSRecord(Nuvaro::Data::VariantRow& row);

    void setIsDeleted(bool deleted) { setDeleted(deleted ? 1 : 0); }

    // Fills the record from one parsed server sync record (keys "id",
    // "updateversion", "updatepeer", "createversion", "createpeer",
    // "isdeleted", "type", "flags", "name", "parent", "fullpath", "size",
    // "modified", "attribs", "friendly"; a missing key reads as "" and is
    // added to the map). Server paths are translated to local paths with the
    // account `profile`, the network-folders root, the team-folders root and
    // the team-folder account.
    //
    // Returns false, logging on "Sync", when a number does not parse, the
    // identity is not a UUID, a file's "modified" is not sortable UTC text, or
    // a path has no local counterpart: a "fullpath" that maps nowhere, or a
    // "parent" other than "" and "/" that maps nowhere (outside the four
    // roots, or holding ".", ".." or empty components). So an accepted record
    // can never name a place outside the sync folder. A record flagged "SKIP"
    // is accepted without any path translation. Never throws; after a false
    // result the record is partly filled and must be dropped.
    bool fromSAXRecord(const std::string& profile, const std::string& syncFolder, Record& record,
                       const std::string& networkFolderName, const std::string& teamFolderName,
                       const std::string& teamFolderAccount);

    // Fills the record from the child elements of one XML element (the text
    // of the first child of each name). Required: "id", "updateversion",
    // "updatepeer", "createversion", "createpeer", "isdeleted", "type",
    // "name", "fullpath"; optional: "parent", "size", "modified" (for files and
    // folders alike), "attribs", "flags", "friendly". Translation leaves out
    // network folders, so a path under /EXTERNAL, outside the roots or with
    // "." / ".." components gets an empty LocalFullPath, which is accepted.
    // "SKIP" gets no special treatment. Returns false (trace on "Sync") for
    // a missing required child or a number that does not parse; a malformed
    // "id" or "modified" throws Poco's parser exception to the caller.
    bool fromXMLRecord(const std::string& profile, const std::string& syncFolder, TiXmlElement* element,
                       const std::string& networkFolderName, const std::string& teamFolderName,
                       const std::string& teamFolderAccount);

    // Accessors, each getter before its setter.
    virtual int getType() const { return m_type; }
    virtual void setType(int type) { m_type = type; }
    virtual const std::string& getName() const { return m_name; }
    virtual void setName(const std::string& name) { m_name = name; }
    virtual const std::string& getParent() const { return m_parent; }
    virtual void setParent(const std::string& parent) { m_parent = parent; }
    virtual const std::string& getLocalParent() const { return m_localParent; }
    virtual void setLocalParent(const std::string& localParent) { m_localParent = localParent; }
    virtual const std::string& getFullPath() const { return m_fullPath; }
    virtual void setFullPath(const std::string& fullPath) { m_fullPath = fullPath; }
    virtual const std::string& getLocalFullPath() const { return m_localFullPath; }
    virtual void setLocalFullPath(const std::string& localFullPath) { m_localFullPath = localFullPath; }
    virtual Poco::Int64 getSize() const { return m_size; }
    virtual void setSize(Poco::Int64 size) { m_size = size; }
    virtual Poco::Int64 getModified() const { return m_modified; }
    virtual void setModified(Poco::Int64 modified) { m_modified = modified; }
    virtual const std::string& getAttribs() const { return m_attribs; }
    virtual void setAttribs(const std::string& attribs) { m_attribs = attribs; }
    virtual const std::string& getFlags() const { return m_flags; }
    virtual void setFlags(const std::string& flags) { m_flags = flags; }
    virtual const std::string& getFriendlyName() const { return m_friendlyName; }
    virtual void setFriendlyName(const std::string& friendlyName) { m_friendlyName = friendlyName; }
    virtual const std::string& getSyncFolderPath() const { return m_syncFolderPath; }
    virtual void setSyncFolderPath(const std::string& syncFolderPath) { m_syncFolderPath = syncFolderPath; }
    virtual const std::string& getFileCRC() const { return m_fileCRC; }
    virtual void setFileCRC(const std::string& fileCRC) { m_fileCRC = fileCRC; }
    virtual const std::string& getFileModTime() const { return m_fileModTime; }
    virtual void setFileModTime(const std::string& fileModTime) { m_fileModTime = fileModTime; }

private:
    int m_type;                     // 1 file, 0 folder, -1 not set
    std::string m_name;
    std::string m_parent;           // server path of the parent, "" under "/"
    std::string m_fullPath;         // server path
    Poco::Int64 m_size;             // bytes
    Poco::Int64 m_modified;         // UTC time value (100 ns since 1582-10-15)
    std::string m_attribs;          // "x," for an executable file
    std::string m_flags;            // "SKIP": no local counterpart
    std::string m_friendlyName;
    std::string m_syncFolderPath;   // the sync folder (data store) of the record
    std::string m_localFullPath;    // relative to the local sync root
    std::string m_localParent;
    std::string m_fileCRC;          // checksum at the last sync
    std::string m_fileModTime;      // sortable UTC text at the last sync
};

typedef boost::shared_ptr<FSSyncRecord> FSSyncRecordPtr;

} // namespace Sync
} // namespace Nuvaro
