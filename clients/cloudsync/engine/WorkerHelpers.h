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
#include <Poco/URI.h>

#include <exception>
#include <string>
#include <sys/stat.h>
#include <vector>

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

// The whole second of a UTC time value, rounded down (also before 1970).
inline Poco::Int64 wholeSecondOf(Poco::Int64 utc) {
    const Poco::Int64 unitsPerSecond = 10000000;
    return utc >= 0 ? utc / unitsPerSecond : -((-utc + unitsPerSecond - 1) / unitsPerSecond);
}

// The lines of the worker's own text files in the data folder (the
// placement journal, the held-back changes): fields separated by TAB, each
// text percent-encoded so that it holds no TAB or line break.
inline std::string fieldText(const std::string& text) {
    std::string out;
    Poco::URI::encode(text, "\t\r\n", out);
    return out;
}
// Throws Poco::SyntaxException for a field that is not fieldText's form.
inline std::string fieldValue(const std::string& field) {
    std::string out;
    Poco::URI::decode(field, out);
    return out;
}
inline std::vector<std::string> lineFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type from = 0;
    for (std::string::size_type tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

} // namespace Sync
} // namespace Nuvaro
