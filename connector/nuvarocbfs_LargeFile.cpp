#include "nuvarocbfs_LargeFile.h"

#include <Poco/Exception.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <exception>
#include <ios>
#include <limits>
#include <vector>

namespace Nuvaro {

namespace {

constexpr Poco::Int64 kMaxSeekStep = std::numeric_limits<Poco::Int32>::max(); // 2147483647
constexpr std::size_t kCopyBufferSize = 8192;

// Seeks one direction of a stream (read or write, chosen by seekTo and
// seekBy) in steps of at most kMaxSeekStep bytes.
template <typename Stream, typename SeekTo, typename SeekBy>
bool seekInSteps(const char* name, Stream* stream, Poco::Int64 offset, SeekTo seekTo, SeekBy seekBy) {
    try {
        stream->clear();
        seekTo(*stream);
        if (stream->bad() || stream->fail()) return false;
        Poco::Int64 remaining = offset;
        while (remaining > 0) {
            const Poco::Int64 step = std::min(remaining, kMaxSeekStep);
            seekBy(*stream, static_cast<std::streamoff>(step));
            if (stream->bad() || stream->fail()) return false;
            remaining -= step;
        }
        return true;
    } catch (const Poco::Exception& e) {
        Poco::LogStream log(Poco::Logger::get("root"));
        log.error() << name << "Exception " << e.displayText() << std::endl;
    } catch (const std::exception&) {
        Poco::LogStream log(Poco::Logger::get("root"));
        log.error() << name << "std::exception " << std::endl;
    }
    return false;
}

} // namespace

bool nuvarocbfs_largeFileSeekgOut(Poco::FileOutputStream* stream, Poco::Int64 offset) {
    return seekInSteps(
        "nuvarocbfs_largeFileSeekgOut", stream, offset, [](std::ostream& s) { s.seekp(0, std::ios::beg); },
        [](std::ostream& s, std::streamoff step) { s.seekp(step, std::ios::cur); });
}

bool nuvarocbfs_largeFileSeekg(Poco::FileInputStream* stream, Poco::Int64 offset) {
    return seekInSteps(
        "nuvarocbfs_largeFileSeekg", stream, offset, [](std::istream& s) { s.seekg(0, std::ios::beg); },
        [](std::istream& s, std::streamoff step) { s.seekg(step, std::ios::cur); });
}

Poco::Int64 copyStream64(std::istream& in, std::ostream& out, Poco::Int64 count) {
    if (count <= 0) return 0;
    std::vector<char> buffer(kCopyBufferSize);
    Poco::Int64 copied = 0;
    while (copied < count && in.good() && out.good()) {
        const Poco::UInt64 wanted = std::min<Poco::UInt64>(kCopyBufferSize, static_cast<Poco::UInt64>(count - copied));
        in.read(buffer.data(), static_cast<std::streamsize>(wanted));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        out.write(buffer.data(), got);
        if (!out) break;
        copied += got;
    }
    return copied;
}

} // namespace Nuvaro
