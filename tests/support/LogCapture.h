#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Message.h>

#include <mutex>
#include <string>
#include <vector>

namespace CloudSyncTest {

// A Poco channel that keeps every message it is given, for tests that assert
// log lines. Thread-safe: pool threads may log while the test reads.
class RecordingChannel : public Poco::Channel {
public:
    struct Entry {
        std::string logger;
        Poco::Message::Priority priority;
        std::string text;
    };

    void log(const Poco::Message& msg) override;

    std::vector<Entry> entries() const;
    // True when some message contains `needle` (and, when `logger` is not empty,
    // came from that logger).
    bool contains(const std::string& needle, const std::string& logger = "") const;
    // Every message text joined with newlines, for failure output.
    std::string dump() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// Installs a RecordingChannel on the named loggers (and on "root" when the
// list is empty, which all unconfigured loggers inherit at creation) at trace
// level for the lifetime of the object; restores the previous channels and
// levels afterwards.
class LogCapture {
public:
    explicit LogCapture(std::vector<std::string> loggers = {});
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    RecordingChannel& channel() { return *m_channel; }
    bool contains(const std::string& needle, const std::string& logger = "") const {
        return m_channel->contains(needle, logger);
    }
    std::string dump() const { return m_channel->dump(); }

private:
    struct Saved {
        std::string name;
        Poco::AutoPtr<Poco::Channel> channel;
        int level;
    };
    Poco::AutoPtr<RecordingChannel> m_channel;
    std::vector<Saved> m_saved;
};

} // namespace CloudSyncTest
