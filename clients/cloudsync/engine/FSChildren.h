#pragma once

// One listed folder of the in-memory folder tree: its entries by name (in
// byte-wise name order) and the folder's own description.
//
// Built by one walk and read by the scan that made it; one thread at a time.

#include "FSEntry.h"
#include "FolderData.h"

#include <map>
#include <string>

namespace Nuvaro {
namespace Sync {

class FSChildren {
public:
    explicit FSChildren(const FolderData& folder);

    // Adds a copy of `entry` under its name. When an entry of that name is
    // already present (two names with the same NFC form), the present one
    // stays and nothing changes.
    void addChild(FSEntry& entry);

    std::map<std::string, FSEntry> children;
    FolderData folder;
};

} // namespace Sync
} // namespace Nuvaro
