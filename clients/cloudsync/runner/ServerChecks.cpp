#include "ServerChecks.h"

#include "nuvarocbfs_Defs.h"

namespace Nuvaro {
namespace Sync {

namespace {

std::string recordValue(const Nuvaro::Record& record, const std::string& key) {
    if (!record)
        return std::string();
    auto found = record->find(key);
    return found == record->end() ? std::string() : found->second;
}

} // namespace

bool checkForSyncPlugin(Nuvaro::NuvaroConnector& connector, Nuvaro::RecordList& /*settings*/) {
    try {
        Nuvaro::RecordList plugins;
        if (!connector.getInstalledPluginList(plugins))
            return false;
        for (const Nuvaro::Record& plugin : plugins) {
            if (recordValue(plugin, NAME_KEY) == "sync")
                return true;
        }
    } catch (...) {
    }
    return false;
}

std::string getBackendOS(Nuvaro::NuvaroConnector& connector) {
    try {
        Nuvaro::RecordList status;
        if (connector.getServerStatus(status, true) && !status.empty())
            return recordValue(status[0], OS_KEY);
    } catch (...) {
    }
    return std::string();
}

} // namespace Sync
} // namespace Nuvaro
