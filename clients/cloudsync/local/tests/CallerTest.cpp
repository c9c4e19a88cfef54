// Who may call the loopback endpoint: the owner of the calling socket found
// for real connections (from this process's user and from another user, a
// child process that drops to uid 65534 before it connects), and another
// user's connections closed as soon as they are accepted, on every route,
// with nothing done.

#include "LocalFixture.h"

#include "PeerSocketOwner.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timestamp.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace LocalTest {
namespace {

namespace PeerSocketOwner = Nuvaro::Sync::PeerSocketOwner;

const uid_t kNobody = 65534;
const int kBoundMs = 20000;

// A connection to 127.0.0.1:port made by a child process running as uid and
// gid 65534: the child connects, sends `bytes` and copies what it receives
// to a pipe until the other end closes (or, with `closeAfterSending`, closes
// the connection and ends at once). Everything the child needs is
// prepared before the fork, and the child makes system calls only (the
// test's other threads, and their locks, do not exist in it).
class OtherUserConnection {
public:
    // Exit codes of the child.
    enum { kDropFailed = 3, kConnectFailed = 4 };

    OtherUserConnection(Poco::UInt16 port, const std::string& bytes, bool closeAfterSending = false) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char* data = bytes.data();
        const std::size_t size = bytes.size();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(kDropFailed);
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
                ::_exit(kConnectFailed);
            for (std::size_t sent = 0; sent < size;) {
                ssize_t n = ::send(s, data + sent, size - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<std::size_t>(n);
            }
            if (closeAfterSending) {
                ::close(s);
                ::_exit(0);
            }
            char buffer[4096];
            ssize_t n;
            while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0)
                if (::write(fds[1], buffer, static_cast<std::size_t>(n)) != n)
                    break;
            ::_exit(0);
        }
        ::close(fds[1]);
        m_out = fds[0];
    }

    ~OtherUserConnection() {
        finish();
        if (m_out >= 0)
            ::close(m_out);
    }

    // What the child received, once it ended (bounded wait); its exit code
    // in `exitCode` (-1 when it did not end normally).
    std::string finish(int* exitCode = nullptr) {
        Poco::Timestamp began;
        char buffer[4096];
        while (m_out >= 0 && began.elapsed() < kBoundMs * 1000LL) {
            pollfd wait{m_out, POLLIN, 0};
            if (::poll(&wait, 1, 200) <= 0)
                continue;
            ssize_t n = ::read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_received.append(buffer, static_cast<std::size_t>(n));
        }
        if (m_pid > 0) {
            int status = 0;
            pid_t done = 0;
            while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && began.elapsed() < kBoundMs * 1000LL)
                ::usleep(10000);
            if (done == 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                status = -1;
            }
            m_exit = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
        }
        if (exitCode)
            *exitCode = m_exit;
        return m_received;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_exit = -1;
    std::string m_received;
};

bool canDropToNobody() {
    return ::geteuid() == 0;
}

// Waits (bounded) for a connection on `listener`.
Poco::Net::StreamSocket acceptWithin(Poco::Net::ServerSocket& listener) {
    if (!listener.poll(Poco::Timespan(kBoundMs / 1000, 0), Poco::Net::Socket::SELECT_READ))
        throw Poco::TimeoutException("no connection came");
    return listener.acceptConnection();
}

// The two ways to the owner: find (the kernel's socket diagnostics, and the
// tables only where those cannot be asked) and the /proc tables alone.
typedef bool (*Lookup)(const Poco::Net::SocketAddress&, const Poco::Net::SocketAddress&, uid_t&);
const std::pair<const char*, Lookup> kLookups[] = {
    {"find", &PeerSocketOwner::find},
    {"tables", &PeerSocketOwner::findInTables},
};

TEST(PeerSocketOwner, OwnerOfAConnectionFromThisUser) {
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    Poco::Net::StreamSocket client(listener.address());
    Poco::Net::StreamSocket accepted = acceptWithin(listener);
    for (const auto& lookup : kLookups) {
        SCOPED_TRACE(lookup.first);
        uid_t owner = 12345;
        ASSERT_TRUE(lookup.second(accepted.peerAddress(), accepted.address(), owner));
        EXPECT_EQ(owner, ::geteuid());
        // Our own side of the connection is not the caller: its addresses
        // are the other way round.
        EXPECT_TRUE(lookup.second(accepted.address(), accepted.peerAddress(), owner));
        // No socket at all.
        uid_t untouched = 12345;
        EXPECT_FALSE(lookup.second(Poco::Net::SocketAddress("127.0.0.1", 1), accepted.address(), untouched));
        EXPECT_EQ(untouched, 12345u);
    }
    std::string reason;
    EXPECT_TRUE(PeerSocketOwner::isOwnUser(accepted.peerAddress(), accepted.address(), reason)) << reason;
    EXPECT_FALSE(PeerSocketOwner::isOwnUser(Poco::Net::SocketAddress("127.0.0.1", 1), accepted.address(), reason));
    EXPECT_NE(reason.find("unknown"), std::string::npos) << reason;
}

TEST(PeerSocketOwner, OwnerOfAConnectionFromAnotherUser) {
    if (!canDropToNobody())
        GTEST_SKIP() << "needs root to run a child as uid 65534";
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    OtherUserConnection other(listener.address().port(), "");
    Poco::Net::StreamSocket accepted = acceptWithin(listener);
    std::vector<std::pair<bool, uid_t>> found;
    for (const auto& lookup : kLookups) {
        uid_t owner = 12345;
        bool got = lookup.second(accepted.peerAddress(), accepted.address(), owner);
        found.emplace_back(got, owner);
    }
    std::string reason;
    bool own = PeerSocketOwner::isOwnUser(accepted.peerAddress(), accepted.address(), reason);
    accepted.close();
    int exitCode = -1;
    other.finish(&exitCode);
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(found, (std::vector<std::pair<bool, uid_t>>{{true, kNobody}, {true, kNobody}}));
    EXPECT_FALSE(own);
    EXPECT_EQ(reason, "called by another user (uid 65534)");
}

TEST(PeerSocketOwner, ConnectionItsCallerClosedHasNoOwner) {
    if (!canDropToNobody())
        GTEST_SKIP() << "needs root to run a child as uid 65534";
    // The caller sends and closes before the connection is taken: its socket
    // lingers without its program (no inode), and after a moment the
    // kernel's tables show it with uid 0, which must not pass for root's
    // own. Such a socket names no owner, whenever it is looked at.
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    int exitCode = -1;
    OtherUserConnection(listener.address().port(), "GET /syncnow HTTP/1.1\r\n\r\n", true).finish(&exitCode);
    ASSERT_EQ(exitCode, 0);
    Poco::Net::StreamSocket accepted = acceptWithin(listener);
    Poco::Thread::sleep(300);
    for (const auto& lookup : kLookups) {
        SCOPED_TRACE(lookup.first);
        uid_t owner = 12345;
        EXPECT_FALSE(lookup.second(accepted.peerAddress(), accepted.address(), owner));
        EXPECT_EQ(owner, 12345u);
    }
}

class CallerTest : public LocalServiceTest {
protected:
    std::string request(const std::string& target) {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n";
    }
};

// The log line of a connection of uid 65534 closed at once.
const char* const kRefusedNobody = ": called by another user (uid 65534)";

TEST_F(CallerTest, AnotherUserIsRefusedOnEveryRouteAndNothingHappens) {
    if (!canDropToNobody())
        GTEST_SKIP() << "needs root to run a child as uid 65534";
    TestRunner& runner = startService();
    putFileBothSides("a.txt", "a");
    const std::string file = encoded(local("My Files/a.txt"));
    const std::string targets[] = {
        "/status",
        "/syncnow",
        "/filechanged",
        "/filebrowser",
        "/getoverlaystatus?path=" + file,
        "/lock?path=" + file,
        "/unlock?path=" + file,
        "/getsharelink?path=" + file,
        "/viewwebfile?path=" + file,
        "/webedit?path=%2Fuser1%2Fa.txt",
        "/foo",
        "/",
    };
    EventRecorder events;
    OpenedTargets opened;
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        m_log.channel().clear();
        int exitCode = -1;
        std::string received = OtherUserConnection(port(), request(target)).finish(&exitCode);
        EXPECT_EQ(exitCode, 0);
        // Closed without a reply: its request was never read.
        EXPECT_EQ(received, "");
        EXPECT_TRUE(m_log.contains("Refused local connection from 127.0.0.1:")) << m_log.dump();
        EXPECT_TRUE(m_log.contains(kRefusedNobody)) << m_log.dump();
        EXPECT_FALSE(m_log.contains("Refused local request")) << m_log.dump();
    }
    EXPECT_TRUE(events.events().empty());
    EXPECT_TRUE(opened.targets().empty());
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    EXPECT_TRUE(server.shares().empty());
    EXPECT_FALSE(server.lockOf(kUser, "/user1/a.txt"));
    EXPECT_FALSE(Poco::File(editRoot()).exists());
    EXPECT_FALSE(m_log.contains("Force Dir Change Notification"));
    (void)runner;
}

TEST_F(CallerTest, AnotherUsersConnectionIsClosedBeforeItsHeadIsRead) {
    if (!canDropToNobody())
        GTEST_SKIP() << "needs root to run a child as uid 65534";
    // The head deadline is far off: only the check of the caller, made
    // before its head is waited for, can close these connections soon.
    startService(30000);
    const std::string sent[] = {"", "GET /status HTTP/1.1\r\nHost: 127.0.0.1:"};
    for (const std::string& bytes : sent) {
        SCOPED_TRACE("sends \"" + bytes + "\"");
        m_log.channel().clear();
        Poco::Timestamp began;
        int exitCode = -1;
        std::string received = OtherUserConnection(port(), bytes).finish(&exitCode);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(received, "");
        EXPECT_LT(began.elapsed(), 3 * Poco::Timestamp::resolution());
        EXPECT_TRUE(m_log.contains(kRefusedNobody)) << m_log.dump();
    }
    // This user is served all the while.
    EXPECT_EQ(send("/status").status, 200);
}

TEST_F(CallerTest, ThisUserIsServedOnTheSameRoutes) {
    startService();
    putFileBothSides("a.txt", "a");
    EventRecorder events;
    std::string received = sendRaw(request("/filebrowser"));
    EXPECT_EQ(received.compare(0, 12, "HTTP/1.1 200"), 0) << received;
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{9, "", 0}}));
    Reply lock = send("/lock?path=" + encoded(local("My Files/a.txt")));
    EXPECT_EQ(lock.status, 200);
    EXPECT_TRUE(server.lockOf(kUser, "/user1/a.txt"));
}

} // namespace
} // namespace LocalTest
