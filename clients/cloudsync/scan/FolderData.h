#pragma once

// One folder of the local tree as the folder-tree walk meets it: the walk's
// work item and, afterwards, the description of a listed folder.
//
//   name          the folder's own name (NFC); "" for the top folder
//   parentPath    the containing folder's path relative to the top folder;
//                 "" for the top folder and for its direct subfolders
//   relativePath  the folder's path relative to the top folder, "/"-joined;
//                 "" for the top folder
//   fullPath      the absolute path: the top folder's path as given, then
//                 "/" and each NFC name
//
// For the sync root "/home/u/Sync" and its folder "My Files/docs":
//   ("docs", "My Files", "My Files/docs", "/home/u/Sync/My Files/docs").
//
// A plain value; one thread at a time.

#include <string>

namespace Nuvaro {
namespace Sync {

class FolderData {
public:
    FolderData();
    FolderData(const std::string& name, const std::string& parentPath, const std::string& relativePath,
               const std::string& fullPath);
    ~FolderData();

    std::string name;
    std::string parentPath;
    std::string relativePath;
    std::string fullPath;
};

} // namespace Sync
} // namespace Nuvaro
