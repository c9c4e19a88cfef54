#include "RequestCanceller.h"

#include <Poco/Net/SocketImpl.h>

#include <sys/socket.h>

namespace Nuvaro {
namespace Sync {

bool RequestCanceller::attach(Poco::Net::HTTPClientSession* session) { return mark(session, false); }

bool RequestCanceller::sent(Poco::Net::HTTPClientSession* session) { return mark(session, true); }

bool RequestCanceller::mark(Poco::Net::HTTPClientSession* session, bool sent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_cancelled)
        return false;
    m_sessions[session] = sent;
    return true;
}

void RequestCanceller::detach(Poco::Net::HTTPClientSession* session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(session);
}

void RequestCanceller::cancel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    for (const auto& registered : m_sessions) {
        if (!registered.second)
            continue;
        Poco::Net::SocketImpl* socket = registered.first->socket().impl();
        if (socket && socket->sockfd() != POCO_INVALID_SOCKET)
            ::shutdown(socket->sockfd(), SHUT_RDWR);
    }
}

bool RequestCanceller::cancelled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}

} // namespace Sync
} // namespace Nuvaro
