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
    Missing,  // nothing at the path (or it cannot be examined)
    File,     // a regular file
    Folder,   // a directory
    Other,    // a link, FIFO, socket or device: never transferred or removed
};

// The kind of the item at `path` itself (lstat).
FOLocalKind FOLocalKindOf(const std::string& path);

// True when `path` lies in the folder `base` (or is base) and no component
// between them, path itself included, is anything but a folder (or, for the
// last component, a regular file) or missing: no link, FIFO, socket or
// device on the way. A missing component ends the check with true (what
// would be created there is a plain folder or file). base itself may be a
// link (the user chose it). False for a path outside base.
//     base "/j", "/j/docs/a.txt" with /j/docs a folder          -> true
//     base "/j", "/j/docs/a.txt" with /j/docs a link to /etc    -> false
bool FONoLinkBelow(const std::string& base, const std::string& path);

// The UTC time value (100 ns units since 1582-10-15) cut to its whole second
// (toward the past, also before 1970), for comparing times "to the whole
// second".
Poco::Int64 FOWholeSecond(Poco::Int64 utcTimeValue);

} // namespace Sync
} // namespace Nuvaro
