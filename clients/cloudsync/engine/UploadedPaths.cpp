#include "UploadedPaths.h"

namespace Nuvaro {
namespace Sync {

void UploadedPaths::insert(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.emplace(path, LocalFileVersion());
}

void UploadedPaths::insert(const std::string& path, const LocalFileVersion& sent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths[path] = sent;
}

bool UploadedPaths::contains(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.count(path) != 0;
}

LocalFileVersion UploadedPaths::versionSent(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_paths.find(path);
    return found != m_paths.end() ? found->second : LocalFileVersion();
}

bool UploadedPaths::erase(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.erase(path) != 0;
}

void UploadedPaths::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.clear();
}

std::size_t UploadedPaths::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.size();
}

std::set<std::string> UploadedPaths::snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::set<std::string> paths;
    for (const auto& path : m_paths)
        paths.insert(path.first);
    return paths;
}

} // namespace Sync
} // namespace Nuvaro
