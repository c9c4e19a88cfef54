#pragma once

// DataFolderLock: one client process per data folder. The console program
// takes the lock after the data folder exists and before it opens a
// database in it, and holds it until it ends. The lock is flock(2) on the
// file "syncclient.lock" in the data folder, so the kernel releases it when
// the process ends in any way (kill -9 included): a lock is never left
// stale, and the file itself may stay. The file holds the holder's process
// id as text, which a refused process names; it is opened without following
// a link, with mode 0600, and is not inherited by programs the client
// starts.
//
//     DataFolderLock lock("/home/u/VaultpineSyncData/client");
//     if (lock.acquire() == DataFolderLock::Result::Held)
//         ...   // another process uses the folder: lock.holder() says which
//
// One object per process and folder; not for concurrent use. A second
// object on the same folder in the same process is refused as another
// process would be.

#include <string>
#include <sys/types.h>

namespace Nuvaro {
namespace Sync {

class DataFolderLock {
public:
    enum class Result {
        Acquired, // this object holds the lock until it is destroyed
        Held,     // another process holds it
        Failed,   // the lock file cannot be opened or locked (error() says why)
    };

    static const char* const FILE_NAME; // "syncclient.lock"

    explicit DataFolderLock(const std::string& dataFolder);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Takes the lock without waiting. Call once.
    Result acquire();

    // After Held: the process id the lock file names, 0 when it names none
    // (its holder has not written it yet).
    pid_t holder() const { return holderId; }
    // After Failed: the reason, with the lock file's path.
    const std::string& error() const { return failure; }

private:
    const std::string path;
    int fd = -1;
    pid_t holderId = 0;
    std::string failure;
};

} // namespace Sync
} // namespace Nuvaro
