#include "CallerGateSocket.h"

#include "PeerSocketOwner.h"
#include "SyncLog.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/ServerSocketImpl.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberFormatter.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// How many bytes must be there before poll reports the socket readable (and
// before a blocking read returns).
void setLowWater(const Poco::Net::StreamSocket& socket, int bytes) {
    ::setsockopt(socket.impl()->sockfd(), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

// The socket's own implementation. Poco's TCP server calls poll and then
// acceptConnection on its acceptor thread; all the gate's state lives there.
class GateImpl : public Poco::Net::ServerSocketImpl {
public:
    explicit GateImpl(const Poco::Timespan& headDeadline)
        : headDeadline(headDeadline), peekBuffer(CallerGateSocket::kMaxHeadBytes) {}

    // For reading: true once a connection is ready (see the header), false
    // when `timeout` passed without one. Other modes as any socket.
    bool poll(const Poco::Timespan& timeout, int mode) override;
    // The connection that has been ready longest; waits for one when none is.
    Poco::Net::SocketImpl* acceptConnection(Poco::Net::SocketAddress& clientAddress) override;

private:
    struct Waiting {
        Poco::Net::StreamSocket socket;
        Poco::Timestamp accepted;
    };
    enum class Verdict { Wait, Ready, Close };

    // One wait of at most `budget` microseconds for the listening socket and
    // the waiting connections, and what follows from it.
    void waitOnce(Poco::Timestamp::TimeDiff budget);
    // Accepts one connection: waiting when the caller is the owner, closed
    // otherwise.
    void takeNewConnection();
    // What the bytes a waiting connection has sent so far (and its poll
    // events) make of it; `why` says why a connection is closed, empty when
    // there is nothing to log (its caller went away).
    Verdict examine(Waiting& waiting, short events, std::string& why);
    void drop(Waiting& waiting, const std::string& why);

    const Poco::Timespan headDeadline;
    std::vector<char> peekBuffer;
    std::deque<Waiting> waiting;                  // oldest first
    std::deque<Poco::Net::StreamSocket> ready;    // in the order their heads came
};

bool GateImpl::poll(const Poco::Timespan& timeout, int mode) {
    if (!(mode & SELECT_READ))
        return ServerSocketImpl::poll(timeout, mode);
    Poco::Timestamp began;
    while (ready.empty()) {
        Poco::Timestamp::TimeDiff left = timeout.totalMicroseconds() - began.elapsed();
        waitOnce(std::max<Poco::Timestamp::TimeDiff>(left, 0));
        if (left <= 0)
            break;
    }
    return !ready.empty();
}

Poco::Net::SocketImpl* GateImpl::acceptConnection(Poco::Net::SocketAddress& clientAddress) {
    while (ready.empty())
        poll(Poco::Timespan(1, 0), SELECT_READ);
    Poco::Net::StreamSocket socket = ready.front();
    ready.pop_front();
    clientAddress = socket.peerAddress();
    // The caller's StreamSocket takes over this reference.
    Poco::Net::SocketImpl* impl = socket.impl();
    impl->duplicate();
    return impl;
}

void GateImpl::waitOnce(Poco::Timestamp::TimeDiff budget) {
    const Poco::Timestamp now;
    for (const Waiting& one : waiting)
        budget = std::min(budget, std::max<Poco::Timestamp::TimeDiff>(
                                      headDeadline.totalMicroseconds() - (now - one.accepted), 0));
    std::vector<pollfd> fds;
    fds.reserve(waiting.size() + 1);
    fds.push_back(pollfd{sockfd(), POLLIN, 0});
    for (const Waiting& one : waiting)
        fds.push_back(pollfd{one.socket.impl()->sockfd(), POLLIN | POLLRDHUP, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>((budget + 999) / 1000)) < 0)
        return;  // interrupted: the caller waits again

    std::deque<Waiting> still;
    for (std::size_t at = 0; at < waiting.size(); ++at) {
        Waiting& one = waiting[at];
        std::string why;
        Verdict verdict = fds[at + 1].revents ? examine(one, fds[at + 1].revents, why) : Verdict::Wait;
        if (verdict == Verdict::Wait && one.accepted.elapsed() >= headDeadline.totalMicroseconds()) {
            verdict = Verdict::Close;
            why = "request head not complete within " +
                  Poco::NumberFormatter::format(headDeadline.totalMilliseconds()) + " ms";
        }
        if (verdict == Verdict::Wait) {
            still.push_back(one);
        } else if (verdict == Verdict::Ready) {
            // Poco reads the head as from any socket: a read must not wait
            // for more than there is.
            setLowWater(one.socket, 1);
            ready.push_back(one.socket);
        } else {
            drop(one, why);
        }
    }
    waiting.swap(still);
    if (fds[0].revents & POLLIN)
        takeNewConnection();
}

void GateImpl::takeNewConnection() {
    try {
        Poco::Net::SocketAddress peer;
        Poco::Net::StreamSocket socket(ServerSocketImpl::acceptConnection(peer));
        std::string reason;
        if (!PeerSocketOwner::isOwnUser(peer, socket.address(), reason)) {
            syncLog().warning("Refused local connection from " + peer.toString() + ": " + reason);
            socket.close();
            return;
        }
        if (waiting.size() >= CallerGateSocket::kMaxWaiting) {
            drop(waiting.front(), "too many connections waiting for their requests");
            waiting.pop_front();
        }
        waiting.push_back(Waiting{socket, Poco::Timestamp()});
    } catch (const Poco::Exception&) {
        // The caller went before its connection was taken, or no descriptor
        // is left: a short pause keeps a lasting failure from spinning.
        Poco::Thread::sleep(10);
    }
}

GateImpl::Verdict GateImpl::examine(Waiting& one, short events, std::string& why) {
    if (events & (POLLERR | POLLHUP | POLLNVAL))
        return Verdict::Close;
    const int fd = one.socket.impl()->sockfd();
    ssize_t size = ::recv(fd, peekBuffer.data(), peekBuffer.size(), MSG_PEEK | MSG_DONTWAIT);
    if (size < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Verdict::Wait : Verdict::Close;
    if (size == 0)
        return Verdict::Close;  // gone without a word
    switch (CallerGateSocket::headState(std::string(peekBuffer.data(), static_cast<std::size_t>(size)))) {
    case CallerGateSocket::HeadState::Complete:
        return Verdict::Ready;
    case CallerGateSocket::HeadState::NotHttp:
        why = "not an HTTP request";
        return Verdict::Close;
    case CallerGateSocket::HeadState::Incomplete:
        break;
    }
    if (events & POLLRDHUP)
        return Verdict::Ready;  // nothing more will come: the server answers what there is
    if (static_cast<std::size_t>(size) >= CallerGateSocket::kMaxHeadBytes) {
        why = "request head larger than " + Poco::NumberFormatter::format(CallerGateSocket::kMaxHeadBytes) + " bytes";
        return Verdict::Close;
    }
    // Wake up again only when more than this has come.
    setLowWater(one.socket, static_cast<int>(size) + 1);
    return Verdict::Wait;
}

void GateImpl::drop(Waiting& one, const std::string& why) {
    if (!why.empty()) {
        std::string peer = "an unknown address";
        try {
            peer = one.socket.peerAddress().toString();
        } catch (const Poco::Exception&) {
        }
        syncLog().warning("Closed local connection from " + peer + ": " + why);
    }
    // Takes what was sent (a head's worth), so that the caller sees its
    // connection closed rather than reset.
    const int fd = one.socket.impl()->sockfd();
    for (int reads = 0; reads < 4 && ::recv(fd, peekBuffer.data(), peekBuffer.size(), MSG_DONTWAIT) > 0; ++reads) {
    }
    one.socket.close();
}

} // namespace

CallerGateSocket::CallerGateSocket(const Poco::Timespan& headDeadline)
    : Poco::Net::ServerSocket(new GateImpl(headDeadline), true) {}

CallerGateSocket::HeadState CallerGateSocket::headState(const std::string& bytes) {
    // Poco's request reader skips white space, line ends included, before
    // and between the three words of the request line: with fewer words on
    // the first line it would wait for them on the lines that follow.
    std::string::size_type start = 0;
    while (start < bytes.size() && isBlank(bytes[start]))
        ++start;
    const std::string::size_type lineEnd = bytes.find('\n', start);
    if (lineEnd == std::string::npos)
        return HeadState::Incomplete;
    int words = 0;
    for (std::string::size_type at = start; at < lineEnd; ++at)
        if (!isBlank(bytes[at]) && (at == start || isBlank(bytes[at - 1])))
            ++words;
    if (words < 3)
        return HeadState::NotHttp;
    for (std::string::size_type at = lineEnd; at != std::string::npos; at = bytes.find('\n', at + 1)) {
        if (bytes.compare(at, 2, "\n\n") == 0 || bytes.compare(at, 3, "\n\r\n") == 0)
            return HeadState::Complete;
    }
    return HeadState::Incomplete;
}

} // namespace Sync
} // namespace Nuvaro
