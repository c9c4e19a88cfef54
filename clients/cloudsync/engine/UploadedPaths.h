#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

namespace Nuvaro {
namespace Sync {

// The remote paths uploaded or created in the current pass (server paths
// with "/" separators), with a lock of its own: the upload callbacks insert
// on pool threads while the worker thread inserts folders, and the apply
// step looks paths up and consumes them.
class UploadedPaths {
public:
    void insert(const std::string& path);
    bool contains(const std::string& path) const;
    // Removes the path; true when it was there.
    bool erase(const std::string& path);
    void clear();
    std::size_t size() const;
    std::set<std::string> snapshot() const;

private:
    mutable std::mutex m_mutex;
    std::set<std::string> m_paths;
};

} // namespace Sync
} // namespace Nuvaro
