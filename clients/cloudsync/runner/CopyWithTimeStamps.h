#pragma once

// Copying a folder tree so that the copy looks unchanged to the folder scan:
// every file copied from inside a folder keeps its modification time (the
// scan compares sizes and times to the whole second). FSAppRunner's
// changeSyncFolder moves the sync folder with copyFolderContents.
//
// The rules both functions share:
// - Files are written through a temporary file beside the target that is
//   renamed into place, so a target file is never missing or half-written.
// - Links inside the tree are copied as links (to the same target text) and
//   never followed: a link to a folder does not bring that folder's content
//   along, and nothing is written through a link. The folders the caller
//   names (`from`, `to`) are taken as named, links included.
// - Files named exactly "desktop.ini" or "sync.ico" are not copied. Special
//   files (pipes, sockets, devices) are passed over: opening a pipe would
//   block the copy.
// - A copy whose destination lies inside its source, or whose source lies
//   inside its destination, is refused before anything is written (the tree
//   would be copied into itself), as links resolved show them; a file is
//   never copied onto itself (the same file reached by two paths is left
//   alone).
// - Folders are created with the current time and the usual permissions;
//   files take the permission bits of their source.
// - The copy stops at the first error (a folder that cannot be listed or
//   created, a file that cannot be copied, a file or link where a folder
//   must go) with false; what was copied before stays.
//
// Stateless; any thread.

#include <string>

namespace Nuvaro {
namespace Sync {

// Copies `from` into the folder `to`:
// - `from` missing: false, nothing is created.
// - `from` a file: copied to `to` when `to` is not a folder, else into the
//   folder `to` under its own name; true. This copy takes the current time.
// - `from` a folder: the folder `to` + "/" + the last name of `from` is
//   created when missing (one level: `to` must exist) and everything below
//   `from` is copied into it, files keeping their modification times; true
//   when all of it was copied.
// Existing files (and links) at the targets are replaced when `overwrite`,
// else left as they are.
// Example: copyWithTimeStamps("/home/u/Old", "/data") fills "/data/Old".
bool copyWithTimeStamps(const std::string& from, const std::string& to, bool overwrite = true);

// Copies what the folder `from` holds into the existing folder `to` itself
// (not into a subfolder of it), by the rules above, files keeping their
// modification times. False when `from` or `to` is not a folder, when one
// lies inside the other, or at the first error.
// Example: copyFolderContents("/home/u/Old", "/data/New") puts
// "/home/u/Old/a.txt" at "/data/New/a.txt".
bool copyFolderContents(const std::string& from, const std::string& to, bool overwrite);

} // namespace Sync
} // namespace Nuvaro
