#include "PeerSocketOwner.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/NumberFormatter.h>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace PeerSocketOwner {

namespace {

const char* const kTimeWait = "06";
// The kernel's numbers of the TCP states a connecting socket cannot be in.
const int kStateTimeWait = 6;
const int kStateListen = 10;

// The address as the table writes it: each 32-bit word of the address bytes
// as the machine holds it, in upper-case hex, then ":" and the port in hex.
// `six` asks for the tcp6 form, where an IPv4 address is IPv4-mapped.
std::string tableAddress(const Poco::Net::SocketAddress& address, bool six) {
    unsigned char bytes[16] = {0};
    std::size_t length = 4;
    const Poco::Net::IPAddress& host = address.host();
    if (host.family() == Poco::Net::IPAddress::IPv4) {
        if (six) {
            bytes[10] = 0xff;
            bytes[11] = 0xff;
            std::memcpy(bytes + 12, host.addr(), 4);
            length = 16;
        } else {
            std::memcpy(bytes, host.addr(), 4);
        }
    } else {
        if (!six)
            return std::string();
        std::memcpy(bytes, host.addr(), 16);
        length = 16;
    }
    std::string text;
    char word[9];
    for (std::size_t at = 0; at < length; at += 4) {
        std::uint32_t value;
        std::memcpy(&value, bytes + at, 4);
        std::snprintf(word, sizeof word, "%08X", static_cast<unsigned>(value));
        text += word;
    }
    char port[6];
    std::snprintf(port, sizeof port, "%04X", static_cast<unsigned>(address.port()));
    return text + ":" + port;
}

// One table's live sockets from `peer` to `local`: their owners.
void ownersIn(const char* table, const std::string& peer, const std::string& local, std::vector<uid_t>& owners) {
    if (peer.empty())
        return;
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, own, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> own >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
            continue;
        if (own != peer || remote != local || state == kTimeWait || inode == "0")
            continue;
        char* end = nullptr;
        unsigned long value = std::strtoul(uid.c_str(), &end, 10);
        if (uid.empty() || *end != '\0')
            continue;
        owners.push_back(static_cast<uid_t>(value));
    }
}

// What the socket diagnostics said.
enum class Asked { Found, NotFound, Unavailable };

// Asks the kernel's socket diagnostics for the TCP socket whose own address
// is `peer` and whose remote address is `local`.
Asked askDiagnostics(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner) {
    const Poco::Net::IPAddress& from = peer.host();
    const Poco::Net::IPAddress& to = local.host();
    if (from.family() != to.family())
        return Asked::Unavailable;
    const bool four = from.family() == Poco::Net::IPAddress::IPv4;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request;
    std::memset(&request, 0, sizeof request);
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = four ? AF_INET : AF_INET6;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = htons(peer.port());
    request.body.id.idiag_dport = htons(local.port());
    std::memcpy(request.body.id.idiag_src, from.addr(), four ? 4 : 16);
    std::memcpy(request.body.id.idiag_dst, to.addr(), four ? 4 : 16);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return Asked::Unavailable;
    timeval wait{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char reply[8192];
    ssize_t size = -1;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof request))
        size = ::recv(fd, reply, sizeof reply, 0);
    ::close(fd);
    if (size <= 0)
        return Asked::Unavailable;
    int length = static_cast<int>(size);
    for (const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(reply); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            const nlmsgerr* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
            return error->error == -ENOENT ? Asked::NotFound : Asked::Unavailable;
        }
        if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY || message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        const inet_diag_msg* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
        if (socket->idiag_state == kStateTimeWait || socket->idiag_state == kStateListen || socket->idiag_inode == 0 ||
            socket->id.idiag_sport != request.body.id.idiag_sport ||
            socket->id.idiag_dport != request.body.id.idiag_dport)
            return Asked::NotFound;
        owner = static_cast<uid_t>(socket->idiag_uid);
        return Asked::Found;
    }
    return Asked::Unavailable;
}

} // namespace

bool find(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner) {
    switch (askDiagnostics(peer, local, owner)) {
    case Asked::Found:
        return true;
    case Asked::NotFound:
        return false;
    case Asked::Unavailable:
        break;
    }
    return findInTables(peer, local, owner);
}

bool findInTables(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner) {
    std::vector<uid_t> owners;
    ownersIn("/proc/net/tcp", tableAddress(peer, false), tableAddress(local, false), owners);
    ownersIn("/proc/net/tcp6", tableAddress(peer, true), tableAddress(local, true), owners);
    if (owners.empty())
        return false;
    for (uid_t other : owners)
        if (other != owners.front())
            return false;
    owner = owners.front();
    return true;
}

bool isOwnUser(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, std::string& reason) {
    uid_t owner = 0;
    if (!find(peer, local, owner)) {
        reason = "the owner of the calling socket " + peer.toString() + " is unknown";
        return false;
    }
    if (owner != ::geteuid()) {
        reason = "called by another user (uid " + Poco::NumberFormatter::format(static_cast<unsigned>(owner)) + ")";
        return false;
    }
    return true;
}

} // namespace PeerSocketOwner
} // namespace Sync
} // namespace Nuvaro
