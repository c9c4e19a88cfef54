#pragma once

// What a job finds on its local side: the kind of an item without following
// links, whether a path below the job's folder leads through a link, and the
// whole second of a time value. Free functions without state; any thread.
//
// The jobs look at items with lstat only: a symbolic link is never followed,
// so a link in a job folder can neither lead a download or a removal out of
// the folder nor be taken for the file or folder it points to; a FIFO or a
// socket is never opened (opening a FIFO blocks).

#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

enum class FOLocalKind {
    Missing,  // nothing at the path: lstat said "no such file" (ENOENT, ENOTDIR)
    File,     // a regular file
    Folder,   // a directory
    Other,    // a link, FIFO, socket or device: never transferred or removed
    Unknown,  // it cannot be examined (no permission, I/O error, ...): it may
              // well be there, so it is neither deleted, nor downloaded over,
              // nor taken for deleted
};

// The kind of the item at `path` itself (lstat).
FOLocalKind FOLocalKindOf(const std::string& path);

// What lstat shows of an item, to tell whether anybody changed it between
// two looks: the same kind, size, modification and status-change times and
// inode mean untouched (a replacement by rename changes the inode, any write
// the status-change time).
struct FOLocalState {
    FOLocalKind kind = FOLocalKind::Missing;
    Poco::Int64 size = 0;
    Poco::Int64 modifiedNs = 0;
    Poco::Int64 changedNs = 0;
    Poco::UInt64 inode = 0;

    bool operator==(const FOLocalState& other) const;
    bool operator!=(const FOLocalState& other) const { return !(*this == other); }
};
FOLocalState FOLocalStateOf(const std::string& path);

// True when the folder at `path` can be opened for listing now.
bool FOFolderListable(const std::string& path);

// True when `path` lies in the folder `base` (or is base) and no component
// between them, path itself included, is anything but a folder (or, for the
// last component, a regular file) or missing: no link, FIFO, socket or
// device on the way. A missing component ends the check with true (what
// would be created there is a plain folder or file). base itself may be a
// link (the user chose it). False for a path outside base.
//     base "/j", "/j/docs/a.txt" with /j/docs a folder          -> true
//     base "/j", "/j/docs/a.txt" with /j/docs a link to /etc    -> false
bool FONoLinkBelow(const std::string& base, const std::string& path);

// Which file system holds the folder at `path` (links followed: a job folder
// may be a link the user chose), as text, to tell whether a job's folder is
// still the one of its last run: an unmounted disk leaves its mount point on
// the file system below, and another disk mounted there is another file
// system. The file system's own id where statfs gives one ("fsid:" + its two
// words in hex; for most disk and network file systems it stays the same
// when the disk comes back under another device number), else the device
// number of stat ("dev:" + major + ":" + minor). "" when the folder cannot be
// examined.
std::string FOLocalDeviceOf(const std::string& path);

// The UTC time value (100 ns units since 1582-10-15) cut to its whole second
// (toward the past, also before 1970), for comparing times "to the whole
// second".
Poco::Int64 FOWholeSecond(Poco::Int64 utcTimeValue);

} // namespace Sync
} // namespace Nuvaro
