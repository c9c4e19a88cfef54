#pragma once

// Small helpers the sync worker's .cpp files share: the entries it adds to
// the activity log, UI events, numbers as text and file times; with the
// logger "Sync" (SyncLog.h) and the exception lines (RequestText.h).
// Stateless; any thread.

#include "FSActivity.h"
#include "RequestText.h"
#include "SyncLog.h"
#include "FSSyncDB.h"
#include "NuvaroException.h"
#include "UIEvent.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <exception>
#include <string>
#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

using RequestText::exceptionLine;
using RequestText::exceptionText;

// Adds an activity entry of level 2 (the only level the worker writes). A
// failed write is only logged by the database: it never stops a step.
inline void addActivityEntry(FSSyncDB& db, FSActivity::Type type, const std::string& message,
                             const std::string& path, const std::string& friendlyName) {
    boost::shared_ptr<FSActivity> entry(new FSActivity(FSActivity::LevelNormal, type, message, path, friendlyName));
    db.activityAdd(entry);
}

inline void postEvent(int type, const std::string& text, int value) {
    uiPostEvent(static_cast<uiEventType>(type), text, value);
}

inline std::string decimal(Poco::Int64 value) {
    return Poco::NumberFormatter::format(value);
}

// The modification time of a stat result as a UTC time value (100 ns units
// since 1582-10-15, the unit of the sync records).
inline Poco::Int64 utcModified(const struct stat& info) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(info.st_mtim.tv_sec) * 1000000 +
                           info.st_mtim.tv_nsec / 1000)
        .utcTime();
}

} // namespace Sync
} // namespace Nuvaro
