#pragma once

// The names of the folders one apply step looks into, read once per folder
// and kept current by the step as it places and removes files: the
// Unicode-normalised existence test of caseSensitiveFileExists (FSUtil.h)
// without listing a folder again for every file placed in it. Also the
// folders whose own name the step has checked already.
//
// Only the step's own changes are followed: it reports each name it adds
// (added) or removes (removed). A name another program adds meanwhile is not
// seen until the next step; the step's placements never overwrite by such a
// name, since they write under their own exact bytes and recheck the target
// just before the rename.
//
// Worker thread only; lives for one apply step.

#include <map>
#include <set>
#include <string>

namespace Nuvaro {
namespace Sync {

class StepFolderNames {
public:
    // True when the parent folder of `path` holds an entry whose NFC form
    // equals the NFC form of the last component of `path` (letter case
    // counts). The first question about a folder reads it; a folder that
    // cannot be read gives false and is asked again next time.
    bool exists(const std::string& path);
    // The step made an entry at `path` (a file placed, a copy made, a
    // folder created). Nothing when the folder was not read yet.
    void added(const std::string& path);
    // The step removed the entry at `path`.
    void removed(const std::string& path);
    // True the first time a folder path is given in the step, false after.
    bool firstCheckOf(const std::string& folder);

private:
    struct Listing {
        std::set<std::string> names;           // as stored
        std::map<std::string, int> normalised; // NFC form -> entries having it
    };
    static void split(const std::string& path, std::string& folder, std::string& name);

    std::map<std::string, Listing> m_folders;
    std::set<std::string> m_checked;
};

} // namespace Sync
} // namespace Nuvaro
