// File checksum and atomic file replacement of Nuvaro::Util (see NuvaroUtil.h).

#include "NuvaroUtil.h"

#include <Poco/Checksum.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
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

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the temporary file of `path` with `fill`, flushes it to disk, gives
// it `modified` (when not null) and renames it over `path`. The temporary
// file gets `mode`, exactly (umasked false) or narrowed by the process's
// umask like any newly created file (umasked true). On failure the
// temporary file is removed, `path` is as it was, and `error` says why.
bool replaceThroughTemporary(const std::string& path, mode_t mode, bool umasked,
                             const std::function<bool(int fd, std::string& error)>& fill,
                             const Poco::Timestamp* modified, std::string& error) {
    const std::string temp = replacementTemporaryPath(path);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "Cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (!umasked && ::fchmod(fd, mode) != 0) {
        ok = false;
        error = "Cannot set the permissions of " + temp + ": " + std::strerror(errno);
    }
    if (ok) ok = fill(fd, error);
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        error = "Cannot write " + temp + ": " + std::strerror(errno);
    }
    if (ok && modified != nullptr) {
        // Both times; the access time takes the same value.
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(modified->epochMicroseconds() / 1000000);
        times[0].tv_nsec = static_cast<long>(modified->epochMicroseconds() % 1000000) * 1000;
        if (times[0].tv_nsec < 0) {
            times[0].tv_sec -= 1;
            times[0].tv_nsec += 1000000000L;
        }
        times[1] = times[0];
        if (::futimens(fd, times) != 0) {
            ok = false;
            error = "Cannot set the modification time of " + temp + ": " + std::strerror(errno);
        }
    }
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

} // namespace

bool replaceFile(const std::string& path, const std::string& content, std::string& error) {
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
    return replaceThroughTemporary(
        path, mode, false,
        [&](int fd, std::string& failure) {
            if (writeAll(fd, content.data(), content.size())) return true;
            failure = "Cannot write the temporary file of " + path + ": " + std::strerror(errno);
            return false;
        },
        nullptr, error);
}

bool replaceFileFrom(const std::string& path, const std::string& source, const Poco::Timestamp* modified,
                     std::string& error) {
    FileCloser in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat info;
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0) {
        error = "Cannot read " + source + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "Cannot read " + source + ": not a file";
        return false;
    }
    struct stat existing;
    const bool replacing = ::stat(path.c_str(), &existing) == 0;
    if (replacing && S_ISDIR(existing.st_mode)) {
        error = "Cannot replace " + path + ": a folder of that name exists";
        return false;
    }
    const mode_t mode = replacing ? existing.st_mode & 07777 : 0666;
    return replaceThroughTemporary(
        path, mode, !replacing,
        [&](int out, std::string& failure) {
            std::vector<char> block(kBlockSize);
            for (;;) {
                ssize_t got = ::read(in.fd, block.data(), block.size());
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) {
                    failure = "Cannot read " + source + ": " + std::strerror(errno);
                    return false;
                }
                if (got == 0) return true;
                if (!writeAll(out, block.data(), static_cast<std::size_t>(got))) {
                    failure = "Cannot write the temporary file of " + path + ": " + std::strerror(errno);
                    return false;
                }
            }
        },
        modified, error);
}

std::string replacementTemporaryPath(const std::string& path) {
    Poco::Path target(path);
    std::string name = target.getFileName();
    const std::size_t maxName = 255 - (1 + 1 + 36 + 4);
    if (name.size() > maxName) name.resize(maxName);
    return target.parent().toString() + "." + name + "." +
           Poco::UUIDGenerator::defaultGenerator().createRandom().toString() + ".tmp";
}

bool isReplacementTemporaryName(const std::string& name) {
    // "." + NAME + "." + 36 characters of a UUID + ".tmp"
    const std::size_t uuidLength = 36;
    const std::string suffix = ".tmp";
    if (name.size() < 1 + 1 + 1 + uuidLength + suffix.size() || name[0] != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::size_t uuidAt = name.size() - suffix.size() - uuidLength;
    if (name[uuidAt - 1] != '.') return false;
    for (std::size_t i = 0; i < uuidLength; ++i) {
        const char c = name[uuidAt + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

} // namespace Util
} // namespace Nuvaro
