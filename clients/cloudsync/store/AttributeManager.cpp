#include "AttributeManager.h"

#include "NuvaroUtil.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <cstdlib>

namespace Nuvaro {
namespace Sync {

namespace {

const Poco::Int64 kUnitsPerSecond = 10000000;  // 100-nanosecond units

// Reads a switch of settings[0]; a missing key reads as "". The map is only
// looked into (find), never changed: transfer threads read the same map at
// the same time, and an insert would change it under them.
std::string settingValue(const RecordList& settings, const std::string& key) {
    if (settings.empty() || !settings[0])
        return std::string();
    auto found = settings[0]->find(key);
    return found != settings[0]->end() ? found->second : std::string();
}

} // namespace

std::string AttributeManager::getAttributes(Poco::File& file) {
    return file.canExecute() ? "x," : "";
}

void AttributeManager::setAttributes(const std::string& attribs, Poco::File& file) {
    Poco::StringTokenizer entries(attribs, ",");
    for (const auto& entry : entries) {
        if (entry != "x")
            continue;
        try {
            file.setExecutable(true);
        } catch (...) {
            // A file we cannot change keeps its mode; the next pass tries again.
        }
    }
}

bool AttributeManager::setLastModified(Poco::Timestamp when, const std::string& path) {
    try {
        Poco::File file(path);
        file.setLastModified(when);
        Poco::Timestamp readBack = file.getLastModified();
        Poco::Logger::get("AttributeManager")
            .trace("After Set: " + Poco::NumberFormatter::format(readBack.utcTime()) +
                   " | Requested: " + Poco::NumberFormatter::format(when.utcTime()));
        return true;
    } catch (...) {
        // Missing file or no permission: the time stays as it was.
        return false;
    }
}

bool AttributeManager::sameModifiedTimestamp(Poco::Int64 a, Poco::Int64 b, bool check) {
    if (!check)
        return true;
    // Integer division truncates toward zero, like Timespan::totalSeconds().
    Poco::Int64 seconds = std::llabs((a - b) / kUnitsPerSecond);
    if (seconds > 59) {
        Poco::Logger::get("AttributeManager")
            .trace("Timestamp : DIFF exceeds 60 secs " + Poco::NumberFormatter::format(seconds));
        return false;
    }
    return true;
}

bool AttributeManager::advancedSizeChecks(RecordList& settings) {
    return settingValue(settings, "checkmodtime") == "1" || settingValue(settings, "checkcrc") == "1";
}

bool AttributeManager::sameFileCRC(RecordList& settings, const std::string& storedCRC,
                                   const std::string& storedModText, const std::string& localPath,
                                   Poco::Int64 size, Poco::Int64 modTime) {
    Poco::Logger& log = Poco::Logger::get("FolderCacheActivity");
    const std::string checkCRC = settingValue(settings, "checkcrc");

    if (settingValue(settings, "checkmodtime") == "1") {
        if (storedModText.empty())
            return true;
        const std::string current = getUTCTimeStrFromUTCTimestamp(modTime);
        if (current == storedModText)
            return true;
        log.trace("MOD Check FAIL: " + current + " expected: " + storedModText + " for " + localPath);
        if (checkCRC == "0")
            return false;
    }

    if (checkCRC != "1" || storedCRC.empty())
        return true;

    std::string crc;
    if (!Nuvaro::Util::getFileCRC(localPath, crc, 0, size, nullptr) || crc == storedCRC)
        return true;
    log.trace("File CRC Check Changed... for " + localPath);
    return false;
}

bool AttributeManager::sameFileAsRecord(RecordList& settings, const FSSyncRecord& record, const std::string& path,
                                        Poco::Int64 size, Poco::Int64 modTime) {
    if (record.getSize() != size || record.getModified() / kUnitsPerSecond != modTime / kUnitsPerSecond)
        return false;
    return sameFileCRC(settings, record.getFileCRC(), record.getFileModTime(), path, size, modTime);
}

bool AttributeManager::checksumOfVersion(const std::string& path, const Nuvaro::LocalFileVersion& version,
                                         Poco::Int64 length, std::string& crc) {
    std::string read;
    if (!Nuvaro::LocalFileVersion::of(path).sameAs(version) ||
        !Nuvaro::Util::getFileCRC(path, read, 0, static_cast<long>(length), nullptr) ||
        !Nuvaro::LocalFileVersion::of(path).sameAs(version))
        return false;
    crc = read;
    return true;
}

bool AttributeManager::sameContentAsRecorded(const std::string& storedCRC, const std::string& path, Poco::Int64 size,
                                             Poco::Int64 modTime, Nuvaro::LocalFileVersion& version) {
    if (storedCRC.empty())
        return false;
    const Nuvaro::LocalFileVersion now = Nuvaro::LocalFileVersion::of(path);
    if (!now.known || now.size != size || now.modified().utcTime() != modTime)
        return false;
    std::string crc;
    if (!checksumOfVersion(path, now, size, crc))
        return false;
    if (crc != storedCRC) {
        Poco::Logger::get("FolderCacheActivity").trace("File CRC Check Changed... for " + path);
        return false;
    }
    version = now;
    return true;
}

Poco::Timestamp AttributeManager::getUTCTimestamp(Poco::Int64 utc) {
    return Poco::Timestamp::fromUtcTime(utc);
}

std::string AttributeManager::getLocalTimeStrFromUTCTimestamp(Poco::Int64 utc) {
    // LocalDateTime applies the zone offset (and daylight saving) in force at
    // that time, not the one of today.
    Poco::LocalDateTime local{Poco::DateTime(getUTCTimestamp(utc))};
    return Poco::DateTimeFormatter::format(local, Poco::DateTimeFormat::SORTABLE_FORMAT);
}

std::string AttributeManager::getUTCTimeStrFromUTCTimestamp(Poco::Int64 utc) {
    return Poco::DateTimeFormatter::format(getUTCTimestamp(utc), Poco::DateTimeFormat::SORTABLE_FORMAT);
}

Poco::Timestamp AttributeManager::getUTCTimeStampFromEpochStr(const std::string& text) {
    Poco::Int64 seconds = 0;
    if (!Poco::NumberParser::tryParse64(text, seconds, ','))
        seconds = 0;
    return Poco::Timestamp::fromEpochTime(static_cast<std::time_t>(seconds));
}

} // namespace Sync
} // namespace Nuvaro
