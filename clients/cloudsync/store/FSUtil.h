#pragma once

// File utilities of the sync client: recursive removal of a folder, the
// Unicode-normalised existence test, owner-only permissions and private
// folders, the mode of a new file, and path splitting and slash trimming.
// Stateless; any thread.

#include <string>
#include <sys/types.h>

namespace Nuvaro {
namespace Sync {

// Removes the folder at `path` with everything below it and returns true.
// Returns false, removing nothing, for a missing path, a regular file or a
// symbolic link (even one to a folder). Symbolic links inside the tree are
// removed as links: what they point to is never touched. After a failure
// part-way (no permission, a busy file) the result is false and whatever was
// removed stays removed.
bool greedyRecursiveWipe(const std::string& path);

// True when the parent folder of `path` holds an entry whose Unicode NFC form
// equals, byte for byte, the NFC form of the last component of `path`.
// Letter case counts; only the composition form is ignored, so a name stored
// decomposed (NFD) is found when asked for composed (NFC) and the reverse.
// Any failure (no parent folder, unreadable folder, invalid UTF-8) gives false.
bool caseSensitiveFileExists(const std::string& path);

// Restricts `path` and everything below it to its owner (mode 0700), like
// "chmod -R 700" but through chmod(2), so no shell ever sees the path.
// Symbolic links are never followed: a link is left alone, and so is
// whatever it points to. Errors are traced and ignored.
void setCustomPermissions(std::string path);

// Creates the folder `path` with every missing folder above it, each one it
// creates with mode 0700 whatever the process's umask; folders that exist
// are left as they are (links on the way are followed). True when `path` is
// a folder afterwards. "/d/a/b" with "/d" existing makes "/d/a" and
// "/d/a/b", both 0700, and leaves "/d" alone.
bool createPrivateFolders(const std::string& path);

// Makes the existing folder `path` its owner's only (mode 0700), never
// through a link: false for a link, a missing path, anything not a folder
// and a folder whose mode cannot be set (another user's).
bool makeFolderPrivate(const std::string& path);

// The mode a newly created file gets: 0666 narrowed by the process's umask
// (read without changing it; 022 assumed when it cannot be read).
mode_t usualNewFileMode();

// Splits at "/" keeping empty components: every component but the last is
// appended to `parent`, each followed by "/" (parent is not cleared first),
// and `name` becomes the last component. "/docs/a.txt" appends "/docs/" and
// gives "a.txt"; a path without "/" only sets name; "" changes nothing.
void FSUtilSplitFolder(const std::string& path, std::string& name, std::string& parent);

// The path without its last character when it is longer than one character
// and ends in "/" or a backslash; otherwise unchanged ("/" stays "/").
std::string FSUtilRemoveEndingSlash(const std::string& path);

// Paths shorter than two characters unchanged; otherwise one left-to-right
// pass replacing "//" by "/", then one replacing two backslashes by one
// (so "///" becomes "//").
std::string FSUtilRemoveDoubleSlash(const std::string& path);

// Platform answers kept for callers shared with other platforms: no path is
// a UNC path, no long-path prefix is needed, and the Windows removal is not
// available.
bool isUNCPath(const std::string& path);
std::string getLongPrefix(const std::string& path);
bool DeleteDirectoryWin32(const std::string& path, bool recursive);

} // namespace Sync
} // namespace Nuvaro
