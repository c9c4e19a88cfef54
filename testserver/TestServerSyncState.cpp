#include "TestServerSyncState.h"

#include <Poco/String.h>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

std::string key(const std::string& userId)
{
    return Poco::toLower(userId);
}

} // namespace

std::optional<std::vector<SyncFolder>> TestServerSyncState::folders(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_folders.find(key(userId));
    if (it == m_folders.end()) return std::nullopt;
    return it->second;
}

void TestServerSyncState::setFolders(const std::string& userId, const std::vector<SyncFolder>& folders)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_folders[key(userId)] = folders;
}

bool TestServerSyncState::allowSync(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_allowSync.find(key(userId));
    return it == m_allowSync.end() || it->second;
}

void TestServerSyncState::setAllowSync(const std::string& userId, bool allow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_allowSync[key(userId)] = allow;
}

SyncOptions TestServerSyncState::options() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options;
}

void TestServerSyncState::setOptions(const SyncOptions& options)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options = options;
}

const TestServerSyncState::SyncLock* TestServerSyncState::liveLock(const std::string& account) const
{
    auto it = m_locks.find(account);
    if (it == m_locks.end()) return nullptr;
    Poco::Timestamp::TimeDiff timeout = static_cast<Poco::Timestamp::TimeDiff>(m_options.lockTimeoutMs) * 1000;
    return it->second.renewed.isElapsed(timeout) ? nullptr : &it->second;
}

bool TestServerSyncState::takeLock(const std::string& userId, const std::string& device, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const SyncLock* held = liveLock(key(userId));
    if (held && held->device != device) {
        error = "Sync is locked by another device: " + held->device;
        return false;
    }
    m_locks[key(userId)] = SyncLock{device, Poco::Timestamp()};
    return true;
}

TestServerSyncState::SyncLock* TestServerSyncState::heldBy(const std::string& account, const std::string& device,
                                                         std::string& error)
{
    if (!liveLock(account) || m_locks[account].device != device) {
        error = "No sync lock held by " + device;
        return nullptr;
    }
    return &m_locks[account];
}

bool TestServerSyncState::releaseLock(const std::string& userId, const std::string& device, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!heldBy(key(userId), device, error)) return false;
    m_locks.erase(key(userId));
    return true;
}

bool TestServerSyncState::renewLock(const std::string& userId, const std::string& device, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SyncLock* held = heldBy(key(userId), device, error);
    if (held) held->renewed.update();
    return held != nullptr;
}

std::optional<std::string> TestServerSyncState::lockHolder(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const SyncLock* held = liveLock(key(userId));
    if (!held) return std::nullopt;
    return held->device;
}

void TestServerSyncState::setLockHolder(const std::string& userId, const std::string& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (device.empty())
        m_locks.erase(key(userId));
    else
        m_locks[key(userId)] = SyncLock{device, Poco::Timestamp()};
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
