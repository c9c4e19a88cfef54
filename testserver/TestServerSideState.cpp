#include "TestServerSideState.h"

#include "TestServerWire.h"

#include <Poco/String.h>
#include <Poco/UUIDGenerator.h>

#include <algorithm>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

// A valid PNG of one transparent pixel.
const std::string kPixelPng("\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01"
                            "\x00\x00\x00\x01\x08\x06\x00\x00\x00\x1f\x15\xc4\x89\x00\x00\x00\x0b\x49\x44\x41"
                            "\x54\x78\x9c\x63\x60\x00\x02\x00\x00\x05\x00\x01\x7a\x5e\xab\x3f\x00\x00\x00\x00"
                            "\x49\x45\x4e\x44\xae\x42\x60\x82",
                            68);

} // namespace

TestServerSideState::TestServerSideState()
    : m_status{{"OS", "NUVARO_CLOUD"},
               {"appversion", "23.1.0"},
               {"apilevel", "4"},
               {"currentprofile", ""},
               {"rmclevel", "1"},
               {"disablemyfiles", "0"},
               {"uploadrestrictions", ""},
               {"disabledotdot", "0"},
               {"networkfoldername", "Network Folders"},
               {"teamfoldername", "Team Folders"},
               {"teamfolderaccount", ""},
               {"allownetworkfoldersync", "1"},
               {"allowbackup", "1"}}
    , m_plugins{"sync", "explorer", "bramblelink"}
    , m_loginImage(kPixelPng)
{
}

Fields TestServerSideState::statusRecord(const std::string& profile) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Fields out = m_status;
    for (auto& f : out)
        if (f.first == "currentprofile" && f.second.empty()) f.second = profile;
    return out;
}

void TestServerSideState::setStatusValue(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& f : m_status)
        if (f.first == key) {
            f.second = value;
            return;
        }
    m_status.emplace_back(key, value);
}

void TestServerSideState::removeStatusValue(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.erase(std::remove_if(m_status.begin(), m_status.end(), [&](const auto& f) { return f.first == key; }),
                   m_status.end());
}

std::vector<std::string> TestServerSideState::plugins() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugins;
}

void TestServerSideState::setPlugins(const std::vector<std::string>& names)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plugins = names;
}

std::pair<bool, bool> TestServerSideState::access(const std::string& userId, const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto user = m_access.find(userId);
    if (user == m_access.end()) return {true, true};
    std::string probe = path;
    for (;;) {
        auto it = user->second.find(probe);
        if (it != user->second.end()) return it->second;
        if (probe == "/") return {true, true};
        probe = parentOf(probe);
    }
}

void TestServerSideState::setAccess(const std::string& userId, const std::string& path, bool read, bool write)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_access[userId][path] = {read, write};
}

std::vector<FavoriteList> TestServerSideState::favoriteLists(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_favorites.find(userId);
    return it == m_favorites.end() ? std::vector<FavoriteList>() : it->second;
}

void TestServerSideState::addFavoriteList(const std::string& userId, const FavoriteList& list)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_favorites[userId].push_back(list);
}

std::string TestServerSideState::queueRmcCommand(const std::string& clientId, const std::string& commandId,
                                                 const std::string& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RmcCommand c{std::to_string(m_nextRid++), clientId, commandId, message, false};
    m_rmc.push_back(c);
    return c.rid;
}

std::vector<RmcCommand> TestServerSideState::pendingRmc(const std::string& clientId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RmcCommand> out;
    for (const auto& c : m_rmc)
        if (c.clientId == clientId && !c.acknowledged) out.push_back(c);
    return out;
}

std::vector<RmcCommand> TestServerSideState::rmcCommands(const std::string& clientId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RmcCommand> out;
    for (const auto& c : m_rmc)
        if (clientId.empty() || c.clientId == clientId) out.push_back(c);
    return out;
}

int TestServerSideState::acknowledgeRmc(const std::string& clientId, const std::vector<std::string>& rids)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int matched = 0;
    for (auto& c : m_rmc)
        if (c.clientId == clientId && !c.acknowledged && std::find(rids.begin(), rids.end(), c.rid) != rids.end()) {
            c.acknowledged = true;
            ++matched;
        }
    return matched;
}

std::optional<LockInfo> TestServerSideState::lockOf(const std::string& userId, const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_locks.find(path);
    if (it == m_locks.end() || (!userId.empty() && !equalsNoCase(it->second.userId, userId))) return std::nullopt;
    return it->second;
}

bool TestServerSideState::lock(const LockInfo& info, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_locks.find(info.path);
    if (it != m_locks.end() && !equalsNoCase(it->second.userId, info.userId)) {
        error = "File is locked by another user";
        return false;
    }
    m_locks[info.path] = info;
    return true;
}

bool TestServerSideState::unlock(const std::string& userId, const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_locks.find(path);
    if (it == m_locks.end()) {
        error = "File is not locked";
        return false;
    }
    if (!equalsNoCase(it->second.userId, userId)) {
        error = "File is locked by another user";
        return false;
    }
    m_locks.erase(it);
    return true;
}

void TestServerSideState::setLock(const LockInfo& info)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_locks[info.path] = info;
}

ShareInfo TestServerSideState::share(const std::string& userId, const std::string& path, const std::string& baseUrl)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& s : m_shares)
        if (s.path == path && equalsNoCase(s.userId, userId)) return s;
    std::string id = Poco::UUIDGenerator::defaultGenerator().createRandom().toString().substr(0, 8);
    ShareInfo s{id, userId, path, baseUrl + "/url/" + id};
    m_shares.push_back(s);
    return s;
}

std::vector<ShareInfo> TestServerSideState::shares() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shares;
}

std::string TestServerSideState::rootRedirect() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rootRedirect;
}

void TestServerSideState::setRootRedirect(const std::string& location)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rootRedirect = location;
}

void TestServerSideState::addBackupRecord(const BackupRecord& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_backups.push_back(record);
}

std::vector<BackupRecord> TestServerSideState::backupRecords() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_backups;
}

std::string TestServerSideState::profileImage(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_profileImages.find(Poco::toLower(userId));
    return it == m_profileImages.end() ? kPixelPng : it->second;
}

void TestServerSideState::setProfileImage(const std::string& userId, const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_profileImages[Poco::toLower(userId)] = bytes;
}

std::string TestServerSideState::loginImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loginImage;
}

void TestServerSideState::setLoginImage(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loginImage = bytes;
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
