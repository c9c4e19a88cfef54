#pragma once

// A log file channel whose files only their owner can read: the log holds
// account names, server addresses and file names. Poco's FileChannel creates
// a fresh file at every rotation with the process's default permissions; this
// channel gives the new file mode 0600 right after its first line. Archives
// are renamed files and keep their mode. Thread-safe as Poco's FileChannel.

#include <Poco/FileChannel.h>
#include <Poco/Message.h>
#include <Poco/Types.h>

#include <atomic>
#include <string>

namespace Nuvaro {
namespace Sync {

// Makes path a file that only its owner may use: created empty with mode
// 0600 when missing; an existing file loses every permission of its group
// and of others (its owner's stay as they are). False when the file can
// neither be created nor changed.
bool preparePrivateFile(const std::string& path);

class PrivateFileChannel : public Poco::FileChannel {
public:
    PrivateFileChannel();

    // Makes the file private (preparePrivateFile), then opens it.
    void open() override;
    void log(const Poco::Message& msg) override;

protected:
    ~PrivateFileChannel() override;

private:
    // The file's size after the last message; a smaller size after the next
    // one means a rotation started a new file.
    std::atomic<Poco::UInt64> lastSize{0};
};

} // namespace Sync
} // namespace Nuvaro
