#pragma once

// Helpers for files larger than 2 GiB and for copying an exact number of bytes
// between streams. The transfers use them to write a download from an offset
// and to send one piece of a file in a chunked upload. All functions are
// stateless and may run on any thread, each on its own streams.

#include <Poco/FileStream.h>
#include <Poco/Types.h>

#include <istream>
#include <ostream>

namespace Nuvaro {

// Moves the write position of stream to the absolute offset (>= 0). Clears the
// stream's state flags first, seeks to 0 and then goes forward in relative
// steps of at most 2147483647 bytes, so offsets beyond 2^31 are reached even
// where a single seek could not express them. Returns true when the position
// is now offset; false when a step failed (the stream's flags then say why)
// or the stream raised, which is logged on the logger "root".
bool nuvarocbfs_largeFileSeekgOut(Poco::FileOutputStream* stream, Poco::Int64 offset);

// The same for the read position of a file input stream.
bool nuvarocbfs_largeFileSeekg(Poco::FileInputStream* stream, Poco::Int64 offset);

// Copies count bytes from in to out through a buffer of 8192 bytes and
// returns the number of bytes copied. It stops early only when a stream fails:
// an input that ends before count bytes sets in's fail flag, and the result is
// then smaller than count. A count of 0 (or less) copies nothing.
Poco::Int64 copyStream64(std::istream& in, std::ostream& out, Poco::Int64 count);

} // namespace Nuvaro
