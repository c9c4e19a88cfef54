// File checksum and atomic file replacement of Nuvaro::Util (see NuvaroUtil.h).

#include "NuvaroUtil.h"

#include <Poco/Checksum.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool replaceFile(const std::string& path, const std::string& content, std::string& error) {
    Poco::Path target(path);
    std::string temp = target.parent().toString() + "." + target.getFileName() + "." +
                       Poco::UUIDGenerator::defaultGenerator().createRandom().toString() + ".tmp";
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;

    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "Cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, mode);  // not narrowed by the umask
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < content.size()) {
        ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else written += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (!ok) error = "Cannot write " + temp + ": " + std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = "Cannot write " + temp + ": " + std::strerror(errno);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = "Cannot replace " + path + ": " + std::strerror(errno);
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

} // namespace Util
} // namespace Nuvaro
