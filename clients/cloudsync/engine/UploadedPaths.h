#pragma once

#include "nuvarocbfs_LocalFileVersion.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace Nuvaro {
namespace Sync {

// The remote paths uploaded or created in the current pass (server paths
// with "/" separators), each file with the version of it that went up, with
// a lock of its own: the upload callbacks insert on pool threads while the
// worker thread inserts folders, and the apply step looks paths up and
// consumes them.
class UploadedPaths {
public:
    // A folder created, or an item whose version is not known.
    void insert(const std::string& path);
    // A file uploaded, and the version of it the server stored; a later
    // insertion of the same path replaces the version.
    void insert(const std::string& path, const LocalFileVersion& sent);
    bool contains(const std::string& path) const;
    // The version stored with the path; not known when the path is absent or
    // was inserted without one.
    LocalFileVersion versionSent(const std::string& path) const;
    // Removes the path; true when it was there.
    bool erase(const std::string& path);
    void clear();
    std::size_t size() const;
    std::set<std::string> snapshot() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, LocalFileVersion> m_paths;
};

} // namespace Sync
} // namespace Nuvaro
