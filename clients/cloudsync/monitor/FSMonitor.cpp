#include "FSMonitor.h"

#include "DirChangeNotification.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

InotifyWatcher::Options FSMonitor::defaultOptions() {
    InotifyWatcher::Options options;
    options.logger = "FSMonitor";
    options.startText = "FS monitoring for changes for ";
    options.pipeFailedText = "FSMonitor:: pipe creation failed!";
    options.shutdownText = "Shutdown FSMonitor Thread";
    options.exitedText = "FSMonitor Thread exited";
    return options;
}

FSMonitor::FSMonitor(const std::string& path, Poco::NotificationQueue* queue)
    : FSMonitor(path, queue, defaultOptions()) {}

FSMonitor::FSMonitor(const std::string& path, Poco::NotificationQueue* queue,
                     const InotifyWatcher::Options& options)
    : m_path(path), m_queue(queue), m_watcher(path, options, [this] { notifyChange(); }) {}

FSMonitor::~FSMonitor() {
    m_watcher.stop();
}

bool FSMonitor::startup() {
    return m_watcher.start();
}

bool FSMonitor::shutdown() {
    m_watcher.stop();
    return true;
}

void FSMonitor::notifyChange() {
    if (m_queue->size() != 0)
        return;
    Poco::Logger::get("Sync").trace("iNotify: Enqueue Dir Change Notification");
    m_queue->enqueueNotification(new DirChangeNotification());
}

} // namespace Sync
} // namespace Nuvaro
