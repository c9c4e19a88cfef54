#pragma once

// The test server's state of the sync API: the sync folders each account
// sees, the accounts whose syncing is switched off ("allowsync" 0), the
// server-wide sync options, and the sync lock of each account (held by one
// device name until it is released or times out).
//
// The change sets themselves come from the item model (TestServerStore); this
// object only says which folders are listed and how deltas are cut.
//
// Thread safety: every member takes m_mutex.

#include "TestServerTypes.h"

#include <Poco/Timestamp.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerSyncState {
public:
    // The folders set for the account, or nullopt when the test set none (the
    // account then sees its own files, "/<profile>").
    std::optional<std::vector<SyncFolder>> folders(const std::string& userId) const;
    void setFolders(const std::string& userId, const std::vector<SyncFolder>& folders);

    bool allowSync(const std::string& userId) const;
    void setAllowSync(const std::string& userId, bool allow);

    SyncOptions options() const;
    void setOptions(const SyncOptions& options);

    // Sync lock of the account. take: free, expired or already held by
    // `device` -> held by it (renewed); otherwise false with a refusal text.
    bool takeLock(const std::string& userId, const std::string& device, std::string& error);
    // release/renew: only the holder; false with a refusal text otherwise.
    bool releaseLock(const std::string& userId, const std::string& device, std::string& error);
    bool renewLock(const std::string& userId, const std::string& device, std::string& error);
    // The device holding the account's lock, nullopt when it is free (or expired).
    std::optional<std::string> lockHolder(const std::string& userId) const;
    // Sets the holder as if that device had just taken the lock ("" frees it).
    void setLockHolder(const std::string& userId, const std::string& device);

private:
    struct SyncLock {
        std::string device;
        Poco::Timestamp renewed;
    };
    // The account's live lock, or null (m_mutex held).
    const SyncLock* liveLock(const std::string& account) const;
    // The account's live lock when `device` holds it, else null with a
    // refusal text (m_mutex held).
    SyncLock* heldBy(const std::string& account, const std::string& device, std::string& error);

    mutable std::mutex m_mutex; // guards everything below
    std::map<std::string, std::vector<SyncFolder>> m_folders; // by lower-case user id
    std::map<std::string, bool> m_allowSync;                  // by lower-case user id; absent: allowed
    SyncOptions m_options;
    std::map<std::string, SyncLock> m_locks;                  // by lower-case user id
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
