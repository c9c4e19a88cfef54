#pragma once

// One entry of a listed folder in the in-memory folder tree.
//
// The walk fills every field from the file system (skip false). The
// three-argument constructor builds a placeholder for an entry the walk
// could not examine (a dangling link, a name whose NFC form does not exist on
// disk): skip is true, and the folder scan neither adds nor deletes anything
// for it, so a file that is only unreadable for a moment is never reported
// as deleted.
//
// A plain value; one thread at a time.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

// Kind of an entry: a folder, or a regular file. Anything else (FIFO, socket,
// device) never becomes an entry.
enum FSType : int {
    FSTypeFolder = 0,
    FSTypeFile = 1,
};

class FSEntry {
public:
    // A placeholder: the given name, parent path and type, the current time,
    // no extension, size 0, not hidden, no link, skip true.
    FSEntry(const std::string& name, const std::string& parentPath, FSType type);
    // An examined entry (skip false).
    FSEntry(const std::string& name, const std::string& parentPath, FSType type, Poco::UInt64 size,
            const Poco::Timestamp& modified, const std::string& extension, bool hidden, bool link);

    std::string name;            // NFC
    std::string parentPath;      // relativePath of the folder holding the entry
    FSType type;
    Poco::UInt64 size;           // bytes, as the file system reports it (folders too)
    Poco::Timestamp modified;    // last modification, to the microsecond
    std::string extension;       // after the last ".", ASCII lower case; "" without a "."
    bool hidden;                 // the name begins with "."
    bool link;                   // the entry itself is a symbolic link
    bool skip;                   // a placeholder: the scan passes over it
};

} // namespace Sync
} // namespace Nuvaro
