#pragma once

// The checks a remote wipe makes before it removes a folder, and the path
// tests they are built on, which the runner's other services share (moving
// the sync folder, the overlay status). A wipe removes only folders of this
// program: fixed folders inside the sync folder, a few named by the server's
// folder names (which must then be plain names), and the local folders of the
// network-folder jobs configured on this machine (which must not be the whole
// disk, the user's home or a folder that holds the program's own folders).
// Stateless; any thread.

#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

// The absolute path with "." and empty components dropped and ".." applied,
// without a trailing "/" ("/" stays "/"); "" for a relative or empty path.
// Purely textual: links are not resolved. "/a//b/../c/" gives "/a/c".
std::string normalizedAbsolutePath(const std::string& path);

// True when `path` is `folder` or lies below it, by whole components of the
// two normalised paths (normalizedAbsolutePath; links are not resolved):
// "/a/b" is inside "/a/b" and "/a", not inside "/a/bc"; every absolute path
// is inside "/". False when either path is not absolute.
bool isSameOrInside(const std::string& path, const std::string& folder);

// isSameOrInside, as written or with links resolved (where both paths exist,
// or for a path that does not exist yet, its nearest existing folder): a
// folder reached through a link to the other counts as inside it.
bool isSameOrInsideEitherWay(const std::string& path, const std::string& folder);

// The path with links resolved; for a path that does not exist, its nearest
// existing folder resolved followed by the rest as written (normalised). ""
// for a relative or empty path.
std::string resolvedAbsolutePath(const std::string& path);

// True for a name that is exactly one path component: not empty, not "." or
// "..", without "/". "Network Folders" is one; "../x" and "a/b" are not.
bool isSingleFolderName(const std::string& name);

// Why `folder` must not be wiped, or "" when it may be. Refused: a path that
// is not absolute, the root folder, the home folder or a folder holding it,
// and a folder that is or holds one of `ownFolders` (the sync folder, the
// data folder). Paths are compared by whole components, both as written
// (normalised) and, where they exist, with links resolved.
std::string wipeRefusal(const std::string& folder, const std::vector<std::string>& ownFolders,
                        const std::string& homeFolder);

} // namespace Sync
} // namespace Nuvaro
