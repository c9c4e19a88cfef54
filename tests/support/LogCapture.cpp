#include "LogCapture.h"

#include <Poco/Logger.h>

namespace CloudSyncTest {

void RecordingChannel::log(const Poco::Message& msg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back({msg.getSource(), msg.getPriority(), msg.getText()});
}

std::vector<RecordingChannel::Entry> RecordingChannel::entries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

bool RecordingChannel::contains(const std::string& needle, const std::string& logger) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& e : m_entries) {
        if (!logger.empty() && e.logger != logger) continue;
        if (e.text.find(needle) != std::string::npos) return true;
    }
    return false;
}

std::string RecordingChannel::dump() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto& e : m_entries) {
        out += "[" + e.logger + "] " + e.text + "\n";
    }
    return out;
}

void RecordingChannel::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

LogCapture::LogCapture(std::vector<std::string> loggers) : m_channel(new RecordingChannel) {
    if (loggers.empty()) loggers.push_back("");
    for (const auto& name : loggers) {
        Poco::Logger& logger = name.empty() || name == "root" ? Poco::Logger::root() : Poco::Logger::get(name);
        Saved saved{name, Poco::AutoPtr<Poco::Channel>(logger.getChannel(), true), logger.getLevel()};
        m_saved.push_back(saved);
        logger.setChannel(m_channel);
        logger.setLevel(Poco::Message::PRIO_TRACE);
    }
    // Loggers created before the capture inherit nothing from root afterwards:
    // point every existing logger at the channel too, so that named loggers
    // such as "Sync" are captured even when created earlier.
    if (loggers.size() == 1 && loggers[0].empty()) {
        std::vector<std::string> names;
        Poco::Logger::names(names);
        for (const auto& n : names) {
            if (n.empty()) continue;
            Poco::Logger& logger = Poco::Logger::get(n);
            m_saved.push_back({n, Poco::AutoPtr<Poco::Channel>(logger.getChannel(), true), logger.getLevel()});
            logger.setChannel(m_channel);
            logger.setLevel(Poco::Message::PRIO_TRACE);
        }
    }
}

LogCapture::~LogCapture() {
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        Poco::Logger& logger = it->name.empty() || it->name == "root" ? Poco::Logger::root() : Poco::Logger::get(it->name);
        logger.setChannel(it->channel);
        logger.setLevel(it->level);
    }
}

} // namespace CloudSyncTest
