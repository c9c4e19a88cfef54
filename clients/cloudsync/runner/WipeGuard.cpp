#include "WipeGuard.h"

#include <climits>
#include <cstdlib>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

// The path with links resolved, or "" when it does not exist.
std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr)
        return std::string();
    return resolved;
}

// `folder` is `path` or one of the folders above it (whole components of two
// normalised paths).
bool holds(const std::string& folder, const std::string& path) {
    if (folder.empty() || path.empty())
        return false;
    if (folder == "/" || folder == path)
        return true;
    return path.compare(0, folder.size(), folder) == 0 && path.size() > folder.size() && path[folder.size()] == '/';
}

// `folder` holds `path` as written or with links resolved on both sides.
bool holdsEitherWay(const std::string& folder, const std::string& path) {
    return holds(normalizedAbsolutePath(folder), normalizedAbsolutePath(path)) ||
           holds(resolvedPath(folder), resolvedPath(path));
}

} // namespace

bool isSameOrInside(const std::string& path, const std::string& folder) {
    return holds(normalizedAbsolutePath(folder), normalizedAbsolutePath(path));
}

bool isSameOrInsideEitherWay(const std::string& path, const std::string& folder) {
    return isSameOrInside(path, folder) || holds(resolvedAbsolutePath(folder), resolvedAbsolutePath(path));
}

std::string resolvedAbsolutePath(const std::string& path) {
    std::string rest;
    std::string existing = normalizedAbsolutePath(path);
    while (!existing.empty()) {
        const std::string resolved = resolvedPath(existing);
        if (!resolved.empty())
            return rest.empty() ? resolved : (resolved == "/" ? "" : resolved) + rest;
        if (existing == "/")
            break;
        const std::string::size_type slash = existing.rfind('/');
        rest = existing.substr(slash) + rest;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    return std::string();
}

std::string normalizedAbsolutePath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return std::string();
    std::vector<std::string> parts;
    std::string::size_type start = 1;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const std::string& part : parts)
        normal += "/" + part;
    return normal.empty() ? "/" : normal;
}

bool isSingleFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string wipeRefusal(const std::string& folder, const std::vector<std::string>& ownFolders,
                        const std::string& homeFolder) {
    const std::string normal = normalizedAbsolutePath(folder);
    if (normal.empty())
        return "not an absolute path";
    if (normal == "/" || resolvedPath(folder) == "/")
        return "the root folder";
    if (holdsEitherWay(folder, homeFolder))
        return "the home folder or a folder holding it";
    for (const std::string& own : ownFolders) {
        if (holdsEitherWay(folder, own))
            return "it holds " + own;
    }
    return std::string();
}

} // namespace Sync
} // namespace Nuvaro
