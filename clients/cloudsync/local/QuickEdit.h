#pragma once

// Quick edit: a server file downloaded into a folder of its own under the
// quick-edit root, to be edited with a desktop application and uploaded back
// by the web-edit worker (FSWebEditWorker) when it changes.
//
// Layout: the root, then one folder per download named by a random UUID
// (36-character text form), holding the file under its server name and the
// record "editinfo.xml" (a variant record file) with the fields
//     path      the server folder of the file (no trailing "/"; "/" at the top)
//     name      the file name
//     size      the copy's size in bytes when recorded (unsigned 64-bit)
//     modified  the copy's modification time when recorded, as a UTC time
//               value (100 ns units since 1582-10-15, unsigned 64-bit)
//     checksum  Nuvaro::Util::getFileCRC of the copy when recorded
// "Recorded" means at the download and after every upload of an edit. A copy
// whose checksum equals the recorded one has not been edited since.
//
// The copies are the user's files: the root and every quick-edit folder are
// 0700 and the copy and its record 0600, whatever the process's umask, so no
// other account of the machine can read or replace them.
//
// Stateless; any thread (the quick-edit request handler downloads on a
// connection thread while the web-edit worker sweeps on its own).

#include "nuvarocbfs_Network.h"

#include "VariantRow.h"

#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

// The record file's name in each quick-edit folder.
extern const char* const kEditInfoName;

// What a record keeps of a local copy.
struct CopyState {
    Poco::UInt64 size = 0;
    Poco::UInt64 modified = 0;
    std::string checksum;
};

// Reads the copy's size, modification time and checksum (whole file). False
// when it cannot: a missing file, a folder, a read error.
bool readCopyState(const std::string& path, CopyState& state);
// Stores the three in the record's "size", "modified" and "checksum".
void putCopyState(Nuvaro::Data::VariantRow& record, const CopyState& state);

// True for a name a quick-edit copy may have: one path component (not empty,
// no "/", not "." or ".."), and not the record's own name.
bool isQuickEditName(const std::string& name);

// Creates the quick-edit root as a folder for this user only, 0700, or sets
// that mode on an existing root. Missing folders above it are created 0700
// too, whatever the umask; folders above it that exist are left as they are.
// False, logged, when the root cannot be had that way: a link, a file, a
// folder of another owner, a failed creation.
bool prepareQuickEditRoot(const std::string& editRoot);

// Splits the server path of a file into its name and its folder (without a
// trailing "/"; "/" for a file at the top): "/user1/docs/a.txt" gives "a.txt"
// and "/user1/docs". False for a path that is not absolute, holds an empty,
// "." or ".." name, or ends in a name a copy may not have (above): its copy
// would not lie in its own quick-edit folder.
bool splitQuickEditPath(const std::string& remotePath, std::string& name, std::string& folder);

// Downloads the server file `remotePath` with the logged-in `connector` into
// a new folder under `editRoot`, writes its record and opens the copy on the
// desktop (UI event 4: name + " downloaded from cloud for editing"). True
// when the copy and its record are in place. False, leaving no folder behind,
// for a path splitQuickEditPath refuses, a root or a folder that cannot be
// made (prepareQuickEditRoot; the folder is new, 0700), a failed download, a
// record that cannot be written or a mode that cannot be set. A copy the desktop
// fails to open is logged; the result is still true, and the copy ages out
// unchanged. Exceptions of the file system pass to the caller.
bool launchQuickEdit(Nuvaro::NuvaroConnector& connector, const std::string& editRoot, const std::string& remotePath);

} // namespace Sync
} // namespace Nuvaro
