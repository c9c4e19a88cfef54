#pragma once

// Nuvaro::LocalFileVersion: one version of a local file, as stat(2) shows it
// at one moment: which file it is (device and inode), its size and its
// modification time to the nanosecond (where the file system keeps them).
//
// An upload measures the version it sends before it reads the first byte,
// makes sure every byte it sends belongs to that version, and reports that
// version once the server stored it: what the caller records is then what
// the server holds, even when the file changed again right after its last
// byte went out (the newer file is a change of its own for the next pass).
//
// Times before 1970 are negative and as valid as any other; 1970-01-01
// 00:00:00 is 0. Whether the file could be examined at all is a flag of its
// own (`known`), never a special time.
//
// A plain value: copy it freely between threads.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace Nuvaro {

struct LocalFileVersion {
    // False when the file could not be examined (missing, no permission):
    // the other fields then mean nothing.
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    Poco::Int64 size = 0;
    Poco::Int64 modifiedNanos = 0; // since 1970-01-01 00:00:00 UTC, negative before

    // The version of the file at path now (stat, following a link); known
    // is false when path cannot be examined.
    static LocalFileVersion of(const std::string& path);
    // The version a stat(2) or lstat(2) result describes (known).
    static LocalFileVersion of(const struct stat& info);

    // True when both are known and describe the same file (device and
    // inode: not replaced by a save that writes aside and renames over)
    // with the same size and modification time to the nanosecond.
    bool sameAs(const LocalFileVersion& other) const;

    // The modification time, rounded down to the microsecond (also before
    // 1970: -0.5 µs is -1 µs).
    Poco::Timestamp modified() const;

    // The modification time, rounded down to the whole second (before 1970
    // as well: 1969-12-31 23:59:58.9999995 is 23:59:58, never 23:59:59).
    Poco::Timestamp modifiedSecond() const;
};

} // namespace Nuvaro
