#pragma once

// Permission bits in tests: a file's mode as it is (never through a link),
// and the process's umask set for a while.

#include <string>
#include <sys/stat.h>

namespace CloudSyncTest {

// The permission bits (07777) of the entry itself, -1 when it is missing.
inline int modeOf(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// Sets the process's umask (for every thread) until the end of the scope.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : m_was(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_was); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t m_was;
};

} // namespace CloudSyncTest
