#pragma once

// The status set of one sync folder: for each peer, the highest version of
// that peer the folder has seen (a map of text to number).
//
// The server defines the text form and the sync database stores and compares
// it as text, so a set keeps the exact text it was built from and toString()
// gives it back unchanged for as long as the set has not been changed.
// The map is read from that text on a best-effort basis: entries separated by
// ",", each a peer name, ":" and a decimal version; entries of any other shape
// are left out of the map (but stay in the text).
//
// When the set is changed here (setVersion, removePeer) the text is rebuilt in
// our own form: the entries in ascending peer order, "peer:version" joined by
// ",", for example "laptop1:17,server:2041". The empty set is "". So that the
// entries we add keep to letters, digits, ":" and "," (safe in a form body and
// an SQL literal), setVersion refuses peer names that are empty or hold any
// other character, and negative versions; entries read from a text are
// written back with their peer names as they were read.
// One thread at a time.

#include <map>
#include <string>

namespace Nuvaro {
namespace DataSync {

class DataSyncStatusSet {
public:
    DataSyncStatusSet();
    explicit DataSyncStatusSet(const std::string& text);

    // The text the set was built from, or our form after a change.
    std::string toString() const { return m_text; }

    const std::map<std::string, long>& getVersions() const { return m_versions; }
    bool hasPeer(const std::string& peer) const;
    // The peer's version; 0 when the set has no entry for it.
    long getVersion(const std::string& peer) const;
    // Sets the peer's version; false (and no change) for a refused peer name
    // or a negative version.
    bool setVersion(const std::string& peer, long version);
    // Removes the peer's entry; false when there was none.
    bool removePeer(const std::string& peer);
    bool empty() const { return m_versions.empty(); }

private:
    void rebuildText();

    std::map<std::string, long> m_versions;
    std::string m_text;
};

} // namespace DataSync
} // namespace Nuvaro
