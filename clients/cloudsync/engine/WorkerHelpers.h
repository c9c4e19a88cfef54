#pragma once

// Small helpers the sync worker's .cpp files share: its logger "Sync", the
// entries it adds to the activity log, UI events, the error line of an
// operation's exception boundary, numbers as text and file times.
// Stateless; any thread.

#include "FSActivity.h"
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

// Loggers live as long as the process, and looking one up by name takes a
// global lock, so the reference is looked up once.
inline Poco::Logger& workerLog() {
    static Poco::Logger& logger = Poco::Logger::get("Sync");
    return logger;
}

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

// The error line for the exception being handled (call it inside a catch
// block): name + gap + "Poco Exception caught : " + display text + " " +
// message, name + gap + "Exception caught : " + message (our own exception
// class and the standard ones), or name + gap + "Unknown Exception caught : ".
// Operations differ in whether a blank (gap) follows their name.
inline std::string exceptionLine(const std::string& name, const std::string& gap) {
    try {
        throw;
    } catch (const Poco::Exception& e) {
        return name + gap + "Poco Exception caught : " + e.displayText() + " " + e.message();
    } catch (const Nuvaro::Exception& e) {
        return name + gap + "Exception caught : " + e.message();
    } catch (const std::exception& e) {
        return name + gap + "Exception caught : " + e.what();
    } catch (...) {
        return name + gap + "Unknown Exception caught : ";
    }
}

// The text of the exception being handled (call it inside a catch block):
// Poco's display text, the message of our own exception class, what() of a
// standard one, "" for anything else.
inline std::string exceptionText() {
    try {
        throw;
    } catch (const Poco::Exception& e) {
        return e.displayText();
    } catch (const Nuvaro::Exception& e) {
        return e.message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return std::string();
    }
}

} // namespace Sync
} // namespace Nuvaro
