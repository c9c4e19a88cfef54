#pragma once

// The client of the server's HTTP/XML API.
//
// Source files:
//   nuvarocbfs_TransferText.cpp  text helpers of the transfers (speed, names, dates)

#include "nuvarocbfs_Defs.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/Types.h>

#include <string>

namespace Nuvaro {

class NuvaroConnector {
public:
    // The speed of a transfer as text for the logs: the value as a double in the
    // stream's default format followed by " Bytes/s", " KB/s", " MB/s" or
    // " GB/s". The unit follows the byte count alone (more than 2^30-1 bytes is
    // GB, more than 2^20-1 MB, less than 1024 Bytes, otherwise KB), so 1048575
    // bytes in one second read "1024 KB/s". microseconds must be greater than 0.
    static std::string getPrintableSpeedValue(Poco::UInt64 bytes, Poco::UInt64 microseconds);
};

// Splits path at every "/" and "\" into its folder part and last component.
// Every piece but the last is appended to folder, each followed by "/" (folder
// is not emptied first; a leading separator gives a leading "/"), and the last
// piece is assigned to name. An empty path changes nothing.
//   "/a/b/c.txt" -> folder += "/a/b/", name = "c.txt"
//   "c.txt"      -> folder unchanged,  name = "c.txt"
//   "a\b"        -> folder += "a/",    name = "b"
void splitFolder(const std::string& path, std::string& name, std::string& folder);

// The UTC date of a Poco UTC time value (100 ns units since 1582-10-15) as
// "YYYY-MM-DD HH:MM:SS", seconds truncated, URI-encoded with the reserved set:
// 2017-05-16 12:34:56.789 gives "2017-05-16%2012%3A34%3A56".
std::string UtilGetUTCTimeStrFromUTCTimestamp(Poco::Int64 time);

} // namespace Nuvaro
