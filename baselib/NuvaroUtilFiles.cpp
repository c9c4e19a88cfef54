// File checksum of Nuvaro::Util (see NuvaroUtil.h).

#include "NuvaroUtil.h"

#include <Poco/Checksum.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Nuvaro {
namespace Util {

namespace {

const std::size_t kBlockSize = 256 * 1024;

// Closes a file descriptor on every way out.
struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

bool getFileCRC(const std::string& path, std::string& crc, long start, long length, volatile bool* cancel) {
    if (start == -1) start = 0;
    if (start < 0 || length < -1) return false;

    FileCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return false;
    struct stat info;
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;

    Poco::Checksum crc32(Poco::Checksum::TYPE_CRC32);
    Poco::Checksum adler32(Poco::Checksum::TYPE_ADLER32);
    std::vector<char> block(kBlockSize);
    off_t offset = static_cast<off_t>(start);
    bool toEnd = length == -1;
    Poco::UInt64 left = toEnd ? 0 : static_cast<Poco::UInt64>(length);
    while (toEnd || left > 0) {
        if (cancel != nullptr && *cancel) return false;
        std::size_t want = toEnd || left > kBlockSize ? kBlockSize : static_cast<std::size_t>(left);
        ssize_t got = ::pread(file.fd, block.data(), want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;  // end of file
        crc32.update(block.data(), static_cast<unsigned>(got));
        adler32.update(block.data(), static_cast<unsigned>(got));
        offset += got;
        if (!toEnd) left -= static_cast<Poco::UInt64>(got);
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%08x%08x", static_cast<unsigned>(crc32.checksum()),
                  static_cast<unsigned>(adler32.checksum()));
    crc = text;
    return true;
}

} // namespace Util
} // namespace Nuvaro
