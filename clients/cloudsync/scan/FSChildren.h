#pragma once

// One listed folder of the in-memory folder tree: its entries (in byte-wise
// name order, looked up by name) and the folder's own description.
//
// Each entry holds its name once: the set is ordered and searched by the
// entries' own names (children.find("a.txt"), children.lower_bound(prefix)),
// so no separate key is kept beside it.
//
// Built by one walk and read by the scan that made it; one thread at a time.

#include "FSEntry.h"
#include "FolderData.h"

#include <set>
#include <string>

namespace Nuvaro {
namespace Sync {

// Orders entries by name and lets a plain name stand for an entry in
// find, count and lower_bound.
struct FSEntryNameLess {
    typedef void is_transparent;
    bool operator()(const FSEntry& a, const FSEntry& b) const { return a.name < b.name; }
    bool operator()(const FSEntry& a, const std::string& b) const { return a.name < b; }
    bool operator()(const std::string& a, const FSEntry& b) const { return a < b.name; }
};

class FSChildren {
public:
    typedef std::set<FSEntry, FSEntryNameLess> Entries;

    explicit FSChildren(const FolderData& folder);

    // Adds a copy of `entry`. When an entry of that name is already present
    // (two names with the same NFC form), the present one stays and nothing
    // changes.
    void addChild(const FSEntry& entry);

    Entries children;
    FolderData folder;
};

} // namespace Sync
} // namespace Nuvaro
