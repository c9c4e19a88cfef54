#include "PeerSocketOwner.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/NumberFormatter.h>

#include <netinet/in.h>
#include <unistd.h>

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

} // namespace

bool find(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner) {
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
