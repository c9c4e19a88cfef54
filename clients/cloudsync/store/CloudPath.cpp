#include "CloudPath.h"

#include <Poco/StringTokenizer.h>

#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

const std::string kMyFiles = "My Files";
const std::string kSharedWithMe = "Shared with Me";

// Splits at "/" dropping empty components. False when a component is "." or
// ".." or holds a NUL byte: such a path is refused in both directions.
bool splitComponents(const std::string& path, std::vector<std::string>& components) {
    Poco::StringTokenizer tokens(path, "/");
    for (const auto& token : tokens) {
        if (token.empty()) continue;
        if (token == "." || token == ".." || token.find('\0') != std::string::npos) return false;
        components.push_back(token);
    }
    return true;
}

// True when name can stand as one component of a path: not empty, no "/",
// no NUL byte, not "." or "..". The root and account names come from the
// server's status reply and must pass this before a path is built on them.
bool isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// `head` followed by "/" and every component from index `from` on.
std::string joinFrom(std::string head, const std::vector<std::string>& components, std::size_t from) {
    for (std::size_t i = from; i < components.size(); ++i) head += "/" + components[i];
    return head;
}

} // namespace

std::string CloudPath::translateToLocalPath(const std::string& account, const std::string& serverPath,
                                            const std::string& networkRoot, const std::string& teamRoot,
                                            const std::string& teamAccount, bool noExternal) {
    if (serverPath.empty() || serverPath == "/") return std::string();
    std::vector<std::string> c;
    if (!splitComponents(serverPath, c) || c.empty()) return std::string();

    // An account name that matches c[0] or c[1] is a sound component already.
    if (c[0] == account) return joinFrom(kMyFiles, c, 1);
    if (c[0] == "SHARED") {
        if (c.size() > 1 && c[1] == teamAccount)
            return isSingleComponent(teamRoot) ? joinFrom(teamRoot, c, 2) : std::string();
        return joinFrom(kSharedWithMe, c, 1);
    }
    if (noExternal) return std::string();
    if (c[0] == "EXTERNAL") return isSingleComponent(networkRoot) ? joinFrom(networkRoot, c, 1) : std::string();
    return std::string();
}

std::string CloudPath::translateToRemotePath(const std::string& account, const std::string& localPath,
                                             const std::string& networkRoot, const std::string& teamRoot,
                                             const std::string& teamAccount, bool noExternal) {
    std::vector<std::string> c;
    if (!splitComponents(localPath, c) || c.empty()) return std::string();

    // A root name that matches c[0] is a sound component already.
    if (c[0] == kMyFiles) return isSingleComponent(account) ? joinFrom("/" + account, c, 1) : std::string();
    if (c[0] == kSharedWithMe) {
        if (c.size() < 3 || c[1] == teamAccount) return std::string();
        return joinFrom("/SHARED", c, 1);
    }
    if (c[0] == teamRoot) {
        if (c.size() == 1 || !isSingleComponent(teamAccount)) return std::string();
        return joinFrom("/SHARED/" + teamAccount, c, 1);
    }
    if (noExternal) return std::string();
    if (c[0] == networkRoot) {
        if (c.size() == 1) return std::string();
        return joinFrom("/EXTERNAL", c, 1);
    }
    return std::string();
}

bool CloudPath::isSoundRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) return false;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") return false;
        start = end + 1;
    }
    return true;
}

std::string CloudPath::convertToStdPath(const std::string& path) { return path; }

std::string CloudPath::convertToNativePath(const std::string& path) { return path; }

} // namespace Sync
} // namespace Nuvaro
