#pragma once

// One entry of a listed folder in the in-memory folder tree, kept compact:
// a sync folder of a million files holds a million of these at once, so the
// entry keeps its name once and nothing that can be derived. The folder
// holding it is the FSChildren it sits in (its FolderData gives the parent
// path); the extension is computed from the name when asked for.
//
// The walk fills every field from the file system (skip false). The
// two-argument constructor builds a placeholder for an entry the walk could
// not examine (a dangling link, a name whose NFC form does not exist on
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
    // A placeholder: the given name and type, the current time, size 0, not
    // hidden, no link, skip true.
    FSEntry(const std::string& name, FSType type);
    // An examined entry (skip false).
    FSEntry(const std::string& name, FSType type, Poco::UInt64 size, const Poco::Timestamp& modified, bool hidden,
            bool link);

    // After the last ".", ASCII lower case; "" without a ".".
    std::string extension() const;

    std::string name;            // NFC
    Poco::UInt64 size;           // bytes, as the file system reports it (folders too)
    Poco::Timestamp modified;    // last modification, to the microsecond
    FSType type;
    bool hidden;                 // the name begins with "."
    bool link;                   // the entry itself is a symbolic link
    bool skip;                   // a placeholder: the scan passes over it
};

} // namespace Sync
} // namespace Nuvaro
