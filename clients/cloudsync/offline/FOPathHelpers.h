#pragma once

// Path helpers of the network-folder and backup jobs: free functions without
// state, so any thread may call them. Local paths are absolute with "/"
// separators; server paths are absolute server paths ("/user1/docs/a.txt").
//
// Translation between the two sides of a job: a job pairs the server folder
// `remoteBase` with the local folder `localBase`, and an item keeps its path
// below them. With remoteBase "/user1/net" and localBase "/home/u/Net":
//     server "/user1/net/docs/a.txt"  <->  local "/home/u/Net/docs/a.txt"
//     server "/user1/net"             <->  local "/home/u/Net"
// Server paths come from the server's listings, so their translation is
// checked: it never leads outside localBase (see FOTranslateToNativePath).

#include "FOOfflineEntry.h"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <string>
#include <vector>

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

// The stored and the local form of a path: the same on this platform.
std::string FOconvertToStdPath(const std::string& path);
std::string FOconvertToNativePath(const std::string& path);

// s without its last character when s is longer than one character and ends
// in "/" or a backslash; otherwise s ("/" stays "/").
std::string FORemoveEndingSlash(const std::string& s);

// A name shortened for a progress text: s when it is shorter than max bytes;
// else its first max/2 bytes, "..." and its last max/2 bytes, each cut moved
// so that no UTF-8 character is split. FOTrimName("abcdefgh", 4) is
// "ab...gh".
std::string FOTrimName(const std::string& s, std::size_t max);

// The local path of a server path of the job, or "" (with an error line on
// the logger "OfflineJobActivity") when the server path would lead outside
// localBase: it must be remoteBase itself or lie below it (the base compared
// without regard to ASCII letter case, whole components), and every
// component below the base must be non-empty, neither "." nor "..", and free
// of NUL bytes. One ending "/" of the server path and of both bases is
// ignored; an empty localBase refuses everything. Worked examples with the
// bases of the header comment:
//     "/user1/net/docs/"         -> "/home/u/Net/docs"
//     "/USER1/Net/a.txt"         -> "/home/u/Net/a.txt"
//     "/user1/net/../x"          -> "" (".." below the base)
//     "/user1/net//x", "/user1/netx/a", "/user1/other/a" -> ""
std::string FOTranslateToNativePath(const std::string& remotePath, const std::string& remoteBase,
                                    const std::string& localBase);

// The server path of a local path of the job: remoteBase followed by the
// part of localPath after localBase, without an ending "/". The local path
// comes from the job's own folder walk and lies in localBase.
std::string FOTranslateToRemotePath(const std::string& localPath, const std::string& remoteBase,
                                    const std::string& localBase);

// The conflict copy of a job's local file: the file's folder + "/Conflict_" +
// its name ("/j/docs/a.txt" -> "/j/docs/Conflict_a.txt").
std::string FOConflictPath(const std::string& localPath);

// True when an element of `list` equals `s` exactly.
bool fileExists(const std::vector<std::string>& list, const std::string& s);

// Upload order: true when a's fullPath sorts before b's, byte by byte (a
// proper prefix first), so that every folder comes before what lies in it.
bool sortNFDirsByShallowFirst(const boost::shared_ptr<FOOfflineEntry>& a, const boost::shared_ptr<FOOfflineEntry>& b);

} // namespace Sync
} // namespace Nuvaro
