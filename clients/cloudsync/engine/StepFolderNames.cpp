#include "StepFolderNames.h"

#include "NuvaroUtil.h"

#include <Poco/File.h>

#include <vector>

namespace Nuvaro {
namespace Sync {

void StepFolderNames::split(const std::string& path, std::string& folder, std::string& name) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
        return;
    }
    folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    name = path.substr(slash + 1);
}

bool StepFolderNames::exists(const std::string& path) {
    std::string folder, name, wanted;
    split(path, folder, name);
    if (!Nuvaro::Util::toNFC(name, wanted))
        return false;
    auto found = m_folders.find(folder);
    if (found == m_folders.end()) {
        std::vector<std::string> names;
        try {
            Poco::File(folder).list(names);
        } catch (...) {
            return false;
        }
        Listing listing;
        for (const std::string& entry : names) {
            std::string normal;
            listing.names.insert(entry);
            if (Nuvaro::Util::toNFC(entry, normal))
                ++listing.normalised[normal];
        }
        found = m_folders.emplace(folder, std::move(listing)).first;
    }
    const auto count = found->second.normalised.find(wanted);
    return count != found->second.normalised.end() && count->second > 0;
}

void StepFolderNames::added(const std::string& path) {
    std::string folder, name, normal;
    split(path, folder, name);
    const auto found = m_folders.find(folder);
    if (found == m_folders.end() || !found->second.names.insert(name).second)
        return;
    if (Nuvaro::Util::toNFC(name, normal))
        ++found->second.normalised[normal];
}

void StepFolderNames::removed(const std::string& path) {
    std::string folder, name, normal;
    split(path, folder, name);
    const auto found = m_folders.find(folder);
    if (found == m_folders.end() || found->second.names.erase(name) == 0)
        return;
    if (Nuvaro::Util::toNFC(name, normal) && --found->second.normalised[normal] <= 0)
        found->second.normalised.erase(normal);
}

bool StepFolderNames::firstCheckOf(const std::string& folder) {
    return m_checked.insert(folder).second;
}

} // namespace Sync
} // namespace Nuvaro
