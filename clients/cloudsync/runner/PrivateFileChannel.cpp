#include "PrivateFileChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

bool preparePrivateFile(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0)
        return ::chmod(path.c_str(), info.st_mode & (S_IRWXU | S_ISUID | S_ISGID | S_ISVTX)) == 0;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    ::close(fd);
    // The process's umask may have taken bits away, never added any.
    return ::chmod(path.c_str(), S_IRUSR | S_IWUSR) == 0;
}

PrivateFileChannel::PrivateFileChannel() {}

PrivateFileChannel::~PrivateFileChannel() {}

void PrivateFileChannel::open() {
    preparePrivateFile(path());
    Poco::FileChannel::open();
}

void PrivateFileChannel::log(const Poco::Message& msg) {
    Poco::FileChannel::log(msg);
    const Poco::UInt64 now = size();
    if (now < lastSize.exchange(now))
        ::chmod(path().c_str(), S_IRUSR | S_IWUSR);
}

} // namespace Sync
} // namespace Nuvaro
