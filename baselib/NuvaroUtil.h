#pragma once

// Small stateless helpers of our base layer. Every function may run on any
// thread at the same time as the others (launchDefaultBrowser and
// setWorkingDirectoryToExePath change process state; see there).
// Sources: NuvaroUtil.cpp (texts, names, identities), NuvaroUtilFiles.cpp
// (file checksum, atomic file replacement), NuvaroUtilSystem.cpp (home folder,
// working folder, browser).

#include <Poco/DateTime.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>
#include <Poco/Types.h>
#include <Poco/UUID.h>

#include <string>

namespace Nuvaro {
namespace Util {

// --- Texts and paths ---------------------------------------------------------

// The text without leading and trailing white space (blank, tab, CR, LF, VT, FF).
std::string trim(const std::string& text);

// Splits a path at its last separator ("/" or "\") into the last name and the
// folder that holds it. Both outputs are replaced. Trailing separators are
// ignored (except for the root itself). The folder has no trailing separator,
// except the root "/" itself; a path without a separator has the folder "".
//     "/a/b/c.txt" -> name "c.txt", folder "/a/b"
//     "/a/b/"      -> name "b",     folder "/a"
//     "/c.txt"     -> name "c.txt", folder "/"
//     "c.txt"      -> name "c.txt", folder ""
//     "a\b"        -> name "b",     folder "a"
//     "/" and ""   -> name "",      folder as the path
void splitFolder(const std::string& path, std::string& name, std::string& folder);

// `out` becomes `path` with exactly one "/" added when it does not already end
// in "/" (or "\"). An empty path stays empty, so that a missing folder never
// turns into the root folder.
void addEndingSeparator(const std::string& path, std::string& out);

// A byte count for people: below 1024 "N bytes" (and "1 byte"), otherwise the
// value in KB, MB, GB or TB (powers of 1024) with `precision` decimals, for
// example readableFileSize(1536, 2) is "1.50 KB". Negative counts read as 0.
std::string readableFileSize(Poco::Int64 bytes, int precision = 2);

// An elapsed time for people, in its largest whole unit: "5 days", "1 hour",
// "12 minutes", "30 seconds" (negative spans read as "0 seconds").
std::string readableTimeSpan(const Poco::Timespan& span);

// A UTC date and time (or UTC time value: 100 ns units since 1582-10-15)
// as local time in the sortable form "YYYY-MM-DD HH:MM:SS".
std::string localTimeStrFromUTCTime(const Poco::DateTime& utc);
std::string localTimeStrFromUTCTime(Poco::Int64 utcTimeValue);

// A name-based UUID (version 3) of the text in a namespace of our own: the
// same text always gives the same identity, different texts different ones.
Poco::UUID createUUIDFromString(const std::string& text);

// False for names no synchronised item may have: empty, "." and "..", names
// holding "/" or a control character (below 0x20, or 0x7F), and names that
// are not valid UTF-8.
bool isAllowedFile(const std::string& name);

// True when the text is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(const std::string& text);

// Sets `out` to the Unicode NFC form of `text`; false (out unchanged) when
// `text` is not valid UTF-8. ASCII is its own NFC form and is copied as it is.
bool toNFC(const std::string& text, std::string& out);

// `text` with every byte that is not part of a valid UTF-8 sequence replaced
// by U+FFFD, so that a name that is not UTF-8 can be shown in a log line or
// an activity entry.
std::string displayableUtf8(const std::string& text);

// SHA-1 of the text's bytes as 40 lower-case hexadecimal digits.
std::string getSHA1Hash(const std::string& text);

namespace HTTP {
// The XML reply of a local command:
// "<commands><command><type>COMMAND</type><result>1|0</result>
//  <message>MESSAGE</message></command></commands>" (one line), with the
// command name and the message XML-escaped.
std::string getXMLResult(const std::string& command, bool result, const std::string& message);
} // namespace HTTP

// --- Files -------------------------------------------------------------------

// A checksum of `length` bytes of the file from byte `start`, as text in `crc`;
// true on success. Texts are only compared for equality: the same bytes always
// give the same text. The text is the CRC-32 and the Adler-32 of the bytes,
// each as 8 lower-case hex digits ("%08x%08x"), both fast enough to keep up
// with the disk.
// Range: start -1 means 0, length -1 means up to the end of the file; a range
// that runs past the end covers the bytes up to the end; any other negative
// value is refused. `cancel`, when not null, is read before every block of
// 256 KiB; once it is true the function stops. Returns false, and leaves `crc`
// unchanged, for a missing or unreadable file, a folder, a read error, a
// refused range and a cancel.
bool getFileCRC(const std::string& path, std::string& crc, long start, long length,
                volatile bool* cancel = nullptr);

// Writes `content` to `path` through a temporary file in the same folder
// (".NAME.UUID.tmp"), flushed to disk and then renamed over `path`, so that
// `path` always holds either its old content or the whole new one. The
// target's permissions are kept; a new file is readable by its owner only.
// Returns false with a reason in `error` when the folder does not exist or
// the file system fails; the temporary file is then removed and `path` is
// as it was.
bool replaceFile(const std::string& path, const std::string& content, std::string& error);

// Copies the regular file `source` over `path` the same way: the bytes go
// into the temporary file beside `path`, which is flushed to disk, given the
// modification time `modified` (when not null) and renamed over `path`. So
// `path` is never missing and never half-written: it holds its old content
// until the whole new one takes its place. An existing target keeps its
// permissions; a new file gets the usual ones (0666 narrowed by the umask).
// Returns false with a reason in `error`, leaving `path` as it was and no
// temporary file behind, when the source cannot be read (missing, not a
// regular file, a read error), `path` is a folder, or the file system fails
// (no space, no permission, ...). `source` is left in place.
bool replaceFileFrom(const std::string& path, const std::string& source, const Poco::Timestamp* modified,
                     std::string& error);

// A new temporary path beside `path` of the form replaceFile and
// replaceFileFrom write first: ".NAME.UUID.tmp" in the same folder (so that
// a rename over `path` stays within one file system), a long NAME cut so
// that the temporary name still fits in a folder entry of 255 bytes.
std::string replacementTemporaryPath(const std::string& path);

// True for a name of the form replacementTemporaryPath gives (".NAME.UUID.tmp"):
// one left behind by a crash is clutter.
bool isReplacementTemporaryName(const std::string& name);

// --- System ------------------------------------------------------------------

// The user's home folder without a trailing "/" ($HOME, else the password
// database entry).
std::string getUserHomePath();

// Makes the folder of the running executable the working folder of the
// process and returns that folder (no trailing "/"). When the executable's
// path cannot be found the working folder is kept and returned.
std::string setWorkingDirectoryToExePath();

// Opens `target` (a URL or a local file) with the desktop's default
// application by starting `opener` ("xdg-open", looked up on PATH; a path with
// "/" is used as it is) with `target` as its only argument: no shell is
// involved. Returns false when the opener cannot be found or started, and for
// an empty target or one starting with "-" (it would read as an option).
// Does not wait for the opener: a background thread collects its exit.
bool launchDefaultBrowser(const std::string& target, const std::string& opener = "xdg-open");

} // namespace Util
} // namespace Nuvaro
