#pragma once

// What the files of the job activity (and the job manager) share: their
// loggers, the UI event call by number, and the readers of a server listing
// item. Stateless; any thread.

#include "SyncLog.h"
#include "UIEvent.h"

#include "nuvarocbfs_XmlParser.h"

#include <Poco/Logger.h>
#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

// The logger of the job activity's own lines, "OfflineJobActivity". (The
// transfer body, remote folder creation and the backup record log on
// "Sync": syncLog().)
inline Poco::Logger& jobLog() {
    static Poco::Logger& logger = Poco::Logger::get("OfflineJobActivity");
    return logger;
}

// Raises the UI event of that number (see UIEvent.h).
inline void postJobEvent(int type, const std::string& text, int value) {
    uiPostEvent(static_cast<uiEventType>(type), text, value);
}

// The value of key in a listing item; "" when absent.
std::string itemValue(const Nuvaro::Record& item, const std::string& key);
// The item's "fullsize" as a 64-bit decimal; 0 when it does not parse.
Poco::Int64 remoteSize(const Nuvaro::Record& item);
// The item's "modifiedepoch" (seconds since 1970) as a UTC time value
// (microseconds x 10 + 122192928000000000).
Poco::Int64 remoteTime(const Nuvaro::Record& item);
// The item is a folder ("type" "dir").
bool isRemoteFolder(const Nuvaro::Record& item);

} // namespace Sync
} // namespace Nuvaro
