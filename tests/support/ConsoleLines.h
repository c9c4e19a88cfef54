#pragma once

// Records the console notices (ConsoleNotice.h) raised while it lives, from
// any thread, in order. Needs cloudsync_common on the test's link line; one
// at a time (it installs the process's sink, and removes it at the end).

#include "ConsoleNotice.h"

#include <mutex>
#include <string>
#include <vector>

namespace CloudSyncTest {

class ConsoleLines {
public:
    ConsoleLines() {
        Nuvaro::Sync::setConsoleNoticeSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~ConsoleLines() { Nuvaro::Sync::setConsoleNoticeSink(Nuvaro::Sync::ConsoleNoticeSink()); }
    ConsoleLines(const ConsoleLines&) = delete;
    ConsoleLines& operator=(const ConsoleLines&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace CloudSyncTest
