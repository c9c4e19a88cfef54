#pragma once

// The test server's state beside accounts and items: the status record, the
// plugin list, access rights, favourite lists, queued remote-management
// commands, locks, share links, backup records, the profile and login
// images and the answer of the bare GET "/".
//
// Thread safety: every member takes m_mutex.

#include "TestServerTypes.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerSideState {
public:
    TestServerSideState();

    // Status record: the stored keys, with "currentprofile" filled with the
    // given profile unless a test set it.
    Fields statusRecord(const std::string& profile) const;
    void setStatusValue(const std::string& key, const std::string& value);
    void removeStatusValue(const std::string& key);

    std::vector<std::string> plugins() const;
    void setPlugins(const std::vector<std::string>& names);

    // Access of a path: the nearest entry at or above it, else read and write.
    std::pair<bool, bool> access(const std::string& userId, const std::string& path) const;
    void setAccess(const std::string& userId, const std::string& path, bool read, bool write);

    std::vector<FavoriteList> favoriteLists(const std::string& userId) const;
    void addFavoriteList(const std::string& userId, const FavoriteList& list);

    std::string queueRmcCommand(const std::string& clientId, const std::string& commandId,
                                const std::string& message);
    // Queued, not yet acknowledged commands of the client.
    std::vector<RmcCommand> pendingRmc(const std::string& clientId) const;
    // All commands (of every client when clientId is empty).
    std::vector<RmcCommand> rmcCommands(const std::string& clientId) const;
    // Marks the rids as acknowledged; returns how many pending ones of the client matched.
    int acknowledgeRmc(const std::string& clientId, const std::vector<std::string>& rids);

    std::optional<LockInfo> lockOf(const std::string& userId, const std::string& path) const;
    // False with a refusal text when another user holds the lock.
    bool lock(const LockInfo& lock, std::string& error);
    bool unlock(const std::string& userId, const std::string& path, std::string& error);
    void setLock(const LockInfo& lock);

    // The share of the path, made on first use; `baseUrl` starts its link.
    ShareInfo share(const std::string& userId, const std::string& path, const std::string& baseUrl);
    std::vector<ShareInfo> shares() const;

    std::string rootRedirect() const;
    void setRootRedirect(const std::string& location);

    void addBackupRecord(const BackupRecord& record);
    std::vector<BackupRecord> backupRecords() const;

    // PNG bytes; by default a valid 1x1 picture.
    std::string profileImage(const std::string& userId) const;
    void setProfileImage(const std::string& userId, const std::string& bytes);
    std::string loginImage() const;
    void setLoginImage(const std::string& bytes);

private:
    mutable std::mutex m_mutex; // guards everything below
    Fields m_status;
    std::vector<std::string> m_plugins;
    std::map<std::string, std::map<std::string, std::pair<bool, bool>>> m_access; // user -> path -> rights
    std::map<std::string, std::vector<FavoriteList>> m_favorites;
    std::vector<RmcCommand> m_rmc;
    int m_nextRid = 1;
    std::map<std::string, LockInfo> m_locks; // by server path
    std::vector<ShareInfo> m_shares;
    std::string m_rootRedirect = "/ui/core/index.html";
    std::vector<BackupRecord> m_backups;
    std::map<std::string, std::string> m_profileImages; // by lower-case user id
    std::string m_loginImage;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
