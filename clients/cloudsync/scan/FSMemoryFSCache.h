#pragma once

// The in-memory picture of the local sync folder that one folder scan builds
// at its start (initFromPath) and then compares, folder by folder, with the
// sync records.
//
// The walk, depth first from the top folder:
//   - lists every folder it enters, normalises each name to Unicode NFC and
//     examines the entry (kind, size, modification time, extension, hidden
//     and link flags);
//   - drops, without a trace, names beginning with "~" or holding one of
//     < > : " / \ | ? * CR LF;
//   - sets aside, in skippedPaths, names that are not valid UTF-8, names with
//     ".." (when disableDotDot), ".cache", names holding ".tmp.part" and
//     names with leading or trailing white space;
//   - sets aside, in unsupportedPaths, entries that are neither a regular
//     file nor a folder (FIFO, socket, device): they are never opened;
//   - records hidden folders (".git") as entries but never enters them;
//   - records a symbolic link as an entry of its folder (with link true and
//     the kind and size of what it leads to) but never enters it: what a
//     link leads to lies outside the sync folder's own tree;
//   - never enters the same folder (device and inode) twice: a folder seen
//     again under another path (a bind mount) is listed in repeatedFolders
//     instead of being entered.
//
// Worked example: a top folder T holding folders a and b (listed in that
// order), a/x.txt, b/y.txt and b/up -> T (a link). The walk enters T, then b
// (the folder found last is entered first), then a; folders holds T, T/a and
// T/b; fileCount is 2; the entry "up" of b is a folder with link true, and
// nothing below it is walked.
//
// Threads: the cache belongs to the one scan that built it; not locked.

#include "FSChildren.h"
#include "FolderData.h"

#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Sync {

class FSMemoryFSCache {
public:
    FSMemoryFSCache();
    virtual ~FSMemoryFSCache();

    // Rebuilds folders, fileCount, unsupportedPaths, repeatedFolders and
    // unlistedFolders from the tree below `path` and appends refused names to
    // skippedPaths (which is not emptied). Failures to list a folder or to
    // examine an entry are logged and never leave the call.
    void initFromPath(const std::string& path, bool disableDotDot);

    // When set, asked before each folder is entered; true ends the walk
    // early (the picture is then incomplete, and the caller must not use it
    // to decide that anything vanished).
    void setStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }

    // Every folder the walk entered, the top folder included, by its
    // absolute path.
    std::map<std::string, boost::shared_ptr<FSChildren>> folders;
    // Absolute paths of names refused for their form (see above), in the
    // order met; a name that is not valid UTF-8 is given in displayable form.
    std::vector<std::string> skippedPaths;
    // Number of regular files examined.
    Poco::Int64 fileCount;
    bool disableDotDot;

    // Absolute paths of entries that are neither a regular file nor a folder.
    std::vector<std::string> unsupportedPaths;
    // Absolute paths of folders not entered because the same folder had been
    // entered already under another path.
    std::vector<std::string> repeatedFolders;
    // Absolute paths of folders in `folders` that could not be listed (no
    // permission, path too long, gone): their FSChildren is empty although
    // the folder may hold items, so nothing in them may count as vanished.
    std::set<std::string> unlistedFolders;

private:
    typedef std::pair<Poco::UInt64, Poco::UInt64> FolderIdentity;  // device, inode

    // Enters one folder: lists it into a new FSChildren and queues its
    // subfolders on `work` (links to folders are not queued).
    void enterFolder(const FolderData& item, std::deque<FolderData>& work, Poco::Int64& queued);
    // Examines one listed name of the folder open as `dirFd`.
    void examineName(int dirFd, const std::string& rawName, FSChildren& children, std::deque<FolderData>& work,
                     Poco::Int64& queued);

    std::set<FolderIdentity> m_entered;
    std::function<bool()> m_stopRequested;
};

} // namespace Sync
} // namespace Nuvaro
