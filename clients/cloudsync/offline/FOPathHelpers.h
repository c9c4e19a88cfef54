#pragma once

// Path helpers of the network-folder and backup jobs: free functions without
// state, so any thread may call them. Paths are local absolute paths with "/"
// separators.

#include <string>

namespace Nuvaro {
namespace Sync {

// The text that every path strictly below `folder` begins with: folder + "/",
// or "/" for the root. One ending "/" of folder is ignored; "" gives "".
// FOFolderPrefix("/data/a") and FOFolderPrefix("/data/a/") are "/data/a/".
std::string FOFolderPrefix(const std::string& folder);

// `path` relative to the folder `base`: the part after base + "/", or "" when
// path is base itself. Ending "/"s are ignored as in FOFolderPrefix. A path
// that does not lie in base (an empty base included) comes back unchanged.
// Components compare whole: relativePath("/data/a", "/data/a/x/y") is "x/y",
// while relativePath("/data/a", "/data/ab/x") and relativePath("/data/a",
// "/x/data/a/y") give the path as it is.
std::string relativePath(const std::string& base, const std::string& path);

} // namespace Sync
} // namespace Nuvaro
