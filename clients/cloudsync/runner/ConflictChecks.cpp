#include "ConflictChecks.h"

#include "NameRules.h"
#include "NuvaroUtil.h"

#include <dirent.h>

#include <memory>

namespace Nuvaro {
namespace Sync {

bool checkForConflictFast(const std::string& path) {
    if (path.empty() || path.back() == '/')
        return false;
    std::string name, folder;
    Nuvaro::Util::splitFolder(path, name, folder);
    return NameRules::isConflictCopyName(name);
}

bool checkForConflict(const std::string& path) {
    if (path.empty() || path.back() == '/')
        return false;
    std::string name, folder;
    Nuvaro::Util::splitFolder(path, name, folder);
    if (name.empty())
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir)
        return false;
    const std::string fileName = NameRules::nfc(name);
    while (struct dirent* entry = ::readdir(dir.get())) {
        if (NameRules::isConflictCopyOf(NameRules::nfc(entry->d_name), fileName))
            return true;
    }
    return false;
}

} // namespace Sync
} // namespace Nuvaro
