#include "WorkerThread.h"

namespace Nuvaro {
namespace Sync {

WorkerThread::WorkerThread(Poco::NotificationQueue& queue)
    : m_queue(queue), m_thread("Sync"), m_ready(Poco::Event::EVENT_AUTORESET) {}

WorkerThread::~WorkerThread() {
    try {
        stop();
    } catch (...) {
    }
}

void WorkerThread::start(Poco::Runnable& body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started || m_stop.load())
        return;
    m_thread.start(body);
    m_started = true;
    m_ready.wait();
}

void WorkerThread::stop() {
    m_stop = true;
    m_queue.wakeUpAll();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started)
        m_thread.join();
    m_started = false;
}

} // namespace Sync
} // namespace Nuvaro
