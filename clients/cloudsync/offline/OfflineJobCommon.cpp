#include "OfflineJobCommon.h"

#include "AttributeManager.h"
#include "RequestText.h"

#include <Poco/NumberParser.h>

namespace Nuvaro {
namespace Sync {

std::string itemValue(const Nuvaro::Record& item, const std::string& key) {
    return RequestText::recordValue(item, key);
}

Poco::Int64 remoteSize(const Nuvaro::Record& item) {
    Poco::Int64 size = 0;
    return Poco::NumberParser::tryParse64(itemValue(item, "fullsize"), size) ? size : 0;
}

Poco::Int64 remoteTime(const Nuvaro::Record& item) {
    return AttributeManager::getUTCTimeStampFromEpochStr(itemValue(item, "modifiedepoch")).utcTime();
}

bool isRemoteFolder(const Nuvaro::Record& item) {
    return itemValue(item, "type") == "dir";
}

} // namespace Sync
} // namespace Nuvaro
