#include "UploadedPaths.h"

namespace Nuvaro {
namespace Sync {

void UploadedPaths::insert(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.insert(path);
}

bool UploadedPaths::contains(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.count(path) != 0;
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
    return m_paths;
}

} // namespace Sync
} // namespace Nuvaro
