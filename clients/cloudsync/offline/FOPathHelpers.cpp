#include "FOPathHelpers.h"

#include "CloudPath.h"
#include "FSUtil.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

// "" or "/a/b" with a relative part that stays below its folder.
bool safeComponents(const std::string& rest) {
    return rest.empty() || (rest[0] == '/' && CloudPath::isSoundRelativePath(rest.substr(1)));
}

// The base without its ending "/", and "" for the root, so that base + "/x"
// is always a path below it.
std::string baseOf(const std::string& base) {
    const std::string trimmed = FORemoveEndingSlash(base);
    return trimmed == "/" ? std::string() : trimmed;
}

bool isUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

std::string FOFolderPrefix(const std::string& folder) {
    if (folder.empty() || folder.back() == '/')
        return folder;
    return folder + "/";
}

std::string relativePath(const std::string& base, const std::string& path) {
    const std::string prefix = FOFolderPrefix(base);
    if (prefix.empty())
        return path;
    if (FOFolderPrefix(path) == prefix)
        return std::string();
    if (path.compare(0, prefix.size(), prefix) == 0)
        return path.substr(prefix.size());
    return path;
}

std::string FOconvertToStdPath(const std::string& path) {
    return path;
}

std::string FOconvertToNativePath(const std::string& path) {
    return path;
}

std::string FORemoveEndingSlash(const std::string& s) {
    if (s.size() > 1 && (s.back() == '/' || s.back() == '\\'))
        return s.substr(0, s.size() - 1);
    return s;
}

std::string FOTrimName(const std::string& s, std::size_t max) {
    if (max > s.size())
        return s;
    std::size_t head = max / 2;
    while (head > 0 && head < s.size() && isUtf8Continuation(s[head]))
        --head;
    std::size_t tail = s.size() - max / 2;
    while (tail < s.size() && isUtf8Continuation(s[tail]))
        ++tail;
    return s.substr(0, head) + "..." + s.substr(tail);
}

std::string FOTranslateToNativePath(const std::string& remotePath, const std::string& remoteBase,
                                    const std::string& localBase) {
    const std::string base = baseOf(remoteBase);
    const std::string remote = FORemoveEndingSlash(remotePath);
    bool inside = !localBase.empty() && remote.size() >= base.size() &&
                  sameIgnoringAsciiCase(remote.substr(0, base.size()), base) &&
                  (remote.size() == base.size() || remote[base.size()] == '/');
    const std::string rest = inside ? remote.substr(base.size()) : std::string();
    if (!inside || !safeComponents(rest)) {
        Poco::Logger::get("OfflineJobActivity")
            .error("Refusing server path outside the job folder: " + remotePath + " (job server folder " +
                   remoteBase + ")");
        return std::string();
    }
    return FORemoveEndingSlash(FORemoveEndingSlash(localBase) + FOconvertToNativePath(rest));
}

std::string FOTranslateToRemotePath(const std::string& localPath, const std::string& remoteBase,
                                    const std::string& localBase) {
    const std::string local = FORemoveEndingSlash(localBase);
    const std::string rest = localPath.size() > local.size() ? localPath.substr(local.size()) : std::string();
    const std::string remote = baseOf(remoteBase) + FOconvertToStdPath(rest);
    return remote.empty() ? std::string("/") : FORemoveEndingSlash(remote);
}

std::string FOConflictPath(const std::string& localPath) {
    const std::string::size_type slash = localPath.rfind('/');
    if (slash == std::string::npos)
        return "Conflict_" + localPath;
    return localPath.substr(0, slash) + "/Conflict_" + localPath.substr(slash + 1);
}

bool fileExists(const std::vector<std::string>& list, const std::string& s) {
    for (const std::string& element : list)
        if (element == s)
            return true;
    return false;
}

bool sortNFDirsByShallowFirst(const boost::shared_ptr<FOOfflineEntry>& a, const boost::shared_ptr<FOOfflineEntry>& b) {
    return a->fullPath < b->fullPath;
}

} // namespace Sync
} // namespace Nuvaro
