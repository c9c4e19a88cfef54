#include "DataFolderLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

const char* const DataFolderLock::FILE_NAME = "syncclient.lock";

namespace {

// The process id written in the lock file, 0 when it holds none.
pid_t readHolder(int fd) {
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
    if (got <= 0)
        return 0;
    char* end = nullptr;
    const long id = std::strtol(text, &end, 10);
    return end != text && id > 0 ? static_cast<pid_t>(id) : 0;
}

} // namespace

DataFolderLock::DataFolderLock(const std::string& dataFolder) : path(dataFolder + "/" + FILE_NAME) {}

DataFolderLock::~DataFolderLock() {
    // Closing the last descriptor releases the lock; the file stays, and
    // the next holder writes its own id into it.
    if (fd >= 0)
        ::close(fd);
}

DataFolderLock::Result DataFolderLock::acquire() {
    auto fail = [this](const std::string& reason) {
        failure = path + ": " + reason;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return Result::Failed;
    };
    // Not through a link, and never blocking on a pipe put in its place.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return fail(std::strerror(errno));
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        return fail("not a regular file");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return fail(std::strerror(errno));
        holderId = readHolder(fd);
        ::close(fd);
        fd = -1;
        return Result::Held;
    }
    // Ours now. The mode is set whatever the umask made of a new file; the
    // id only helps a refused process name this one, so a failed write
    // changes nothing.
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    const std::string id = std::to_string(::getpid()) + "\n";
    const bool written =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, id.data(), id.size(), 0) == static_cast<ssize_t>(id.size());
    static_cast<void>(written);
    return Result::Acquired;
}

} // namespace Sync
} // namespace Nuvaro
