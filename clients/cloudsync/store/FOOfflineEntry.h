#pragma once

// One file or folder that a network-folder or backup job has transferred: one
// row of the OBJECT table of the job database (offline.db), column for column.
// It lives in the store because the transfer pool carries one by value in
// every transfer job, below the job library that reads and writes the rows.

#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

// A plain, copyable value: no lock. An entry belongs to the one thread that
// handles it at a time (the job's run, or the pool thread of its transfer);
// copies are member-wise and own their strings.
class FOOfflineEntry {
public:
    // Values of `type`.
    static constexpr int TYPE_UNSET = -1;  // an entry built empty: neither folder nor file
    static constexpr int TYPE_FOLDER = 0;
    static constexpr int TYPE_FILE = 1;

    // All strings empty, type TYPE_UNSET, size and modified 0.
    FOOfflineEntry();
    // Every field, in the order of the columns.
    FOOfflineEntry(const std::string& fullPath, int type, const std::string& name, const std::string& parent,
                   Poco::Int64 size, Poco::Int64 modified, const std::string& localLinkPath,
                   const std::string& fileCrc, const std::string& fileMod);
    virtual ~FOOfflineEntry();

    FOOfflineEntry(const FOOfflineEntry&) = default;
    FOOfflineEntry& operator=(const FOOfflineEntry&) = default;

    std::string fullPath;       // FULLPATH: full local path; the row's key
    int type;                   // TYPE: TYPE_FOLDER, TYPE_FILE, or TYPE_UNSET
    std::string name;           // NAME: last component of fullPath
    std::string parent;         // PARENT: full local path of the containing folder, no ending "/"
    Poco::Int64 size;           // SIZE: bytes (0 for folders)
    // MODIFIED: UTC time value, 100-nanosecond units since 1582-10-15 00:00
    // UTC: microseconds since 1970-01-01 times 10 plus 122192928000000000.
    Poco::Int64 modified;
    std::string localLinkPath;  // LOCALLINKPATH: local folder of the job that owns the entry
    std::string fileCrc;        // FILECRC: checksum as last recorded; "" when none was computed
    std::string fileMod;        // FILEMOD: modification time as last recorded, UTC sortable text
};

} // namespace Sync
} // namespace Nuvaro
