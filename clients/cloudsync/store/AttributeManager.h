#pragma once

// File attribute, modification-time and checksum rules shared by the sync
// worker, the folder scan, the offline jobs and the runner.
//
// Time units used here:
//   - UTC time value: signed 64-bit count of 100-nanosecond units since
//     1582-10-15 00:00 UTC (Poco::Timestamp::utcTime()); sync records keep
//     modification times in this unit.
//   - Epoch seconds: whole seconds since 1970-01-01 00:00 UTC, as the server
//     sends them in listings ("modifiedepoch").
//   - Sortable text: Poco::DateTimeFormat::SORTABLE_FORMAT
//     ("2017-05-16 12:34:56"), always UTC unless the name says local.
//
// Attribute text: entries each followed by ","; only "x," (executable) is
// produced or understood.
//
// Stateless: every member is static and may run on any thread.

#include "FSSyncRecord.h"
#include "nuvarocbfs_LocalFileVersion.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/File.h>
#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {

class AttributeManager {
public:
    // "x," when the file is executable by us, else "". Throws Poco's file
    // exceptions for a missing file.
    static std::string getAttributes(Poco::File& file);

    // Makes the file executable when `attribs` holds the entry "x"; never
    // clears the executable bit. Failures (missing file, no permission) are
    // ignored.
    static void setAttributes(const std::string& attribs, Poco::File& file);

    // Sets the file's modification time and traces the time read back on
    // logger "AttributeManager". Never throws: a missing file or a refused
    // change gives false and leaves the file as it was.
    static bool setLastModified(Poco::Timestamp when, const std::string& path);

    // True when `check` is off, or when the two UTC time values differ by at
    // most 59 whole seconds (the difference is truncated toward zero, so
    // 59.9 s apart is still the same time and 60 s apart is not).
    static bool sameModifiedTimestamp(Poco::Int64 a, Poco::Int64 b, bool check);

    // Both readers of settings[0] below only look keys up: a missing key
    // reads as "" and the map is never changed, so other threads may read
    // it at the same time.

    // True when settings[0] switches on "checkmodtime" or "checkcrc" ("1").
    static bool advancedSizeChecks(RecordList& settings);

    // True when the local file counts as unchanged since the last sync, by
    // the switches of settings[0]:
    //   - "checkmodtime" "1": an empty stored text, or a stored text equal to
    //     the sortable UTC text of `modTime`, means unchanged. A different
    //     text means changed when "checkcrc" is "0"; with any other
    //     "checkcrc" value the checksum rule below decides.
    //   - "checkcrc" "1" with a stored checksum: the checksum of the first
    //     `size` bytes decides; a checksum that cannot be computed counts as
    //     unchanged.
    //   - anything else: unchanged.
    // Worked example: checkmodtime "1", checkcrc "" and a different stored
    // text gives true (the text alone is not trusted to mean a change).
    static bool sameFileCRC(RecordList& settings, const std::string& storedCRC,
                            const std::string& storedModText, const std::string& localPath,
                            Poco::Int64 size, Poco::Int64 modTime);

    // True when the local file at `path`, of `size` bytes and modified at
    // `modTime` (a UTC time value), is the file `record` describes: the same
    // size, the same modification time to the whole second (the server
    // keeps whole seconds, and a placed file takes the record's time), and
    // sameFileCRC finds it unchanged against the record's stored checksum
    // and modification text. Size alone never suffices: a same-size edit
    // made a second or more later is a change.
    static bool sameFileAsRecord(RecordList& settings, const FSSyncRecord& record, const std::string& path,
                                 Poco::Int64 size, Poco::Int64 modTime);

    // True when the file at `path` holds the content a record's checksum
    // was taken of, whatever its time: `storedCRC` is not empty, the file is
    // still the one the caller examined (`size` bytes, modified exactly at
    // `modTime`, a UTC time value to the microsecond) and the checksum of its
    // first `size` bytes, read now from that very version (checksumOfVersion),
    // equals `storedCRC`. `version` receives the version read. False for an
    // empty stored checksum, a file that changed since the caller examined it
    // or while it was read, a file that cannot be read, and another checksum:
    // the caller then compares by size and time, or takes it for changed.
    static bool sameContentAsRecorded(const std::string& storedCRC, const std::string& path, Poco::Int64 size,
                                      Poco::Int64 modTime, Nuvaro::LocalFileVersion& version);

    // The checksum text (Nuvaro::Util::getFileCRC) of the first `length`
    // bytes of the file at `path`, only when the file is `version` from
    // before the read to after it: true with crc set; false, crc unchanged,
    // when the file is not (or no longer, or not all along) that version or
    // cannot be read. So an upload's version sent, which the file may no
    // longer be, never gets the checksum of newer bytes.
    static bool checksumOfVersion(const std::string& path, const Nuvaro::LocalFileVersion& version,
                                  Poco::Int64 length, std::string& crc);

    static Poco::Timestamp getUTCTimestamp(Poco::Int64 utc);
    // Sortable text of the time in the local time zone (for log lines).
    static std::string getLocalTimeStrFromUTCTimestamp(Poco::Int64 utc);
    // Sortable text of the time in UTC.
    static std::string getUTCTimeStrFromUTCTimestamp(Poco::Int64 utc);

    // The decimal epoch-seconds text (thousands separator ",") as a time
    // stamp of that exact UTC second. Epoch seconds are UTC already: no
    // time-zone shift is applied. A text that does not parse gives the epoch
    // (1970-01-01 00:00:00 UTC).
    static Poco::Timestamp getUTCTimeStampFromEpochStr(const std::string& text);
};

} // namespace Sync
} // namespace Nuvaro
