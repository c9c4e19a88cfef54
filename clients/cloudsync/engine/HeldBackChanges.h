#pragma once

#include "FSSyncRecord.h"

#include <map>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

// The server changes the apply step could not place: a file in a folder the
// user made read-only or unreadable, a folder where a file of the user's
// stands. Each holds back only itself: the rest of its delta is placed and
// the sync folder's status set moves past it, so no later delta brings it
// again and it is remembered here instead. The worker adds a held change to
// the first delta of its sync folder at every pass until it is placed, or a
// newer change of the same server path (an edit, a deletion) takes its
// place.
//
// Kept in one file of the data folder, replaced as a whole (temporary file,
// flushed, renamed) and removed when nothing is held. The apply step writes
// it before it saves the status set that moves past a held change, so that
// a kill at any moment loses none: killed before that save, the same delta
// comes again; after it, the file has the change.
//
// The file: one line per held change, TAB-separated: the sync folder, the
// server path, the record in its stored form (base64), then its sync folder
// path, local parent and local full path (texts percent-encoded).
//
// Worker thread only.
class HeldBackChanges {
public:
    // By server path ("/" separators).
    typedef std::map<std::string, FSSyncRecordPtr> Records;

    explicit HeldBackChanges(const std::string& file) : m_file(file) {}

    // The sync folders with held changes.
    std::vector<std::string> folders();
    // Copies of the changes held for a sync folder.
    Records of(const std::string& folder);
    // A held change lies at localFullPath, inside it or above it (whole
    // path components: "a/b" meets "a", "a/b" and "a/b/c", not "a/bc").
    bool meets(const std::string& localFullPath);
    // Replaces the changes held for a sync folder and writes the file; false
    // (logged) when it could not be written, and nothing changes then.
    bool replace(const std::string& folder, const Records& records);

private:
    // Reads the file the first time it is needed; a file that cannot be
    // read is logged and counts as empty.
    void load();
    static bool parse(const std::string& text, std::map<std::string, Records>& held);
    static std::string text(const std::map<std::string, Records>& held);

    const std::string m_file;
    bool m_loaded = false;
    std::map<std::string, Records> m_held;
};

} // namespace Sync
} // namespace Nuvaro
