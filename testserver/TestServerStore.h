#pragma once

// Accounts, login sessions and the item model of the test server, with the
// file contents on disk under the data folder:
//
//   <dataDir>/files/<item id>   bytes of every live file (named by identity, so
//                               a rename never moves data)
//   <dataDir>/tmp/<uuid>        uploads and copies in progress
//
// Each account has its own namespace of server paths: "/<profile>/..." (its
// own files), "/SHARED/..." and "/EXTERNAL/...". A path is refused when it
// has "." or ".." segments or lies outside these three top folders, so no
// request can reach another account's items or a file outside the data folder.
//
// Versions: one counter for the whole server. Every item a change touches gets
// the next number as its updateVersion (a new item also as createVersion),
// and the peer that asked for it. Deletes keep a tombstone per removed item;
// a move keeps one per moved item at its old path, so that "what changed in
// this folder" shows both where an item went and where it left.
//
// Peers: a change names the peer that made it: the remote_client_id of a
// session (whose remote_client_disp_name becomes the peer's display name), or
// the API peer for changes made through the test API (default "testserver").
//
// Thread safety: every member takes m_mutex; file data is moved into place by
// rename, so a reader that opened a file keeps reading the bytes it opened.

#include "TestServerTypes.h"

#include <Poco/Types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// The changes below a folder since a version, and the folder's own version:
// the highest updateVersion of anything at or below it (tombstones included),
// read under one lock so that no change can fall between the two.
struct FolderChanges {
    std::vector<TestItem> changes; // in version order
    Poco::Int64 version = 0;       // 0 when nothing was ever at or below the folder
};

struct TestSession {
    std::string cookie;
    std::string userId;
    std::string clientId;   // remote_client_id sent at login, the peer of its changes
    std::string clientName; // remote_client_disp_name sent at login
};

class TestServerStore {
public:
    explicit TestServerStore(std::string dataDir);

    // --- Accounts and sessions ---
    void addAccount(const TestAccount& account);
    // Account whose userId or email equals the login name (case-insensitive).
    std::optional<TestAccount> findAccount(const std::string& loginName) const;
    std::vector<TestAccount> accounts() const;
    // Opens a session and returns its cookie value.
    std::string openSession(const std::string& userId, const std::string& clientId, const std::string& clientName);
    std::optional<TestSession> session(const std::string& cookie) const;
    void dropSessions(const std::string& userId);
    int sessionCount(const std::string& userId) const;
    // Blocks or unblocks the account; blocking also ends its sessions. False
    // for an unknown account.
    bool setBlocked(const std::string& userId, bool blocked);
    // Two-factor tokens: issued by a password login, used once by the code login.
    std::string issueTwoFactorToken(const std::string& userId);
    bool takeTwoFactorToken(const std::string& userId, const std::string& token);

    // --- Paths ---
    // Normalises `raw` and checks it lies in the account's namespace ("/" is
    // allowed and lists the three top folders). False with `error` otherwise.
    bool resolve(const std::string& userId, const std::string& raw, std::string& path, std::string& error) const;

    // --- Reading ---
    std::optional<TestItem> item(const std::string& userId, const std::string& path) const;
    std::vector<TestItem> children(const std::string& userId, const std::string& folder) const;
    std::vector<TestItem> changesSince(const std::string& userId, const std::string& folder,
                                       Poco::Int64 sinceVersion) const;
    FolderChanges folderChanges(const std::string& userId, const std::string& folder, Poco::Int64 sinceVersion) const;
    Poco::Int64 currentVersion() const;

    // --- Peers ---
    // Display name of a peer: the remote_client_disp_name its session sent,
    // the API peer's friendly name, else the peer text itself.
    std::string peerName(const std::string& peer) const;
    std::string apiPeer() const;
    void setApiPeer(const std::string& peer, const std::string& friendlyName);
    std::string contentFile(const std::string& userId, const std::string& path) const;

    // --- Changes (paths already resolved; false with a refusal text) ---
    // Creates the folder and its missing parents.
    bool makeFolders(const std::string& userId, const std::string& path, const std::string& peer, std::string& error);
    // Creates one folder level inside an existing folder.
    bool createFolder(const std::string& userId, const std::string& parent, const std::string& name,
                      const std::string& peer, std::string& error);
    bool remove(const std::string& userId, const std::string& path, const std::string& peer, std::string& error);
    // Renames or moves a file or folder (with everything below it).
    bool move(const std::string& userId, const std::string& from, const std::string& to, bool overwrite,
              const std::string& peer, std::string& error);
    bool copy(const std::string& userId, const std::string& from, const std::string& to, bool overwrite,
              const std::string& peer, std::string& error);
    // Moves a finished temp file into place as folder/name.
    bool commitFile(const std::string& userId, const std::string& folder, const std::string& name,
                    const std::string& tempFile, const Poco::Timestamp& modified, bool overwrite,
                    const std::string& peer, std::string& error);
    // Gives the item and everything below it these flags (and a new version).
    bool setFlags(const std::string& userId, const std::string& path, const std::string& flags,
                  const std::string& peer, std::string& error);
    // Gives the item a new version without changing it (its update peer
    // stays), so that the sync API sends it again.
    bool touchItem(const std::string& userId, const std::string& path, std::string& error);

    // A new, not yet existing file name under <dataDir>/tmp.
    std::string newTempFile() const;
    const std::string& dataDir() const { return m_dataDir; }

private:
    struct AccountData {
        TestAccount account;
        std::map<std::string, TestItem> live; // by full path
        std::vector<TestItem> tombstones;
    };

    // All helpers below expect m_mutex to be held.
    AccountData* accountData(const std::string& userId);
    const AccountData* accountData(const std::string& userId) const;
    // The account when `folder` is one of its live folders, else null with a refusal text.
    AccountData* accountWithFolder(const std::string& userId, const std::string& folder, std::string& error);
    std::string dataFileOf(const TestItem& item) const;
    TestItem& addItem(AccountData& data, const std::string& path, int type, const std::string& peer);
    void touch(TestItem& item, const std::string& peer);
    void buryBelow(AccountData& data, const std::string& path, const std::string& peer);
    // Checks a move (moving) or copy of `from` to `to`: the source exists,
    // the target is not inside it, the target's folder exists, and a taken
    // target is removed first when overwrite is set. Null with a refusal text.
    AccountData* prepareTarget(const std::string& userId, const std::string& from, const std::string& to, bool moving,
                               bool overwrite, const std::string& peer, std::string& error);
    bool makeFoldersLocked(AccountData& data, const std::string& path, const std::string& peer, std::string& error);

    const std::string m_dataDir; // constant after construction

    mutable std::mutex m_mutex; // guards everything below
    std::map<std::string, AccountData> m_accounts; // by lower-case userId
    std::map<std::string, TestSession> m_sessions; // by cookie
    std::map<std::string, std::string> m_twoFactorTokens; // token -> lower-case userId
    std::map<std::string, std::string> m_peerNames;      // peer -> display name
    std::string m_apiPeer = "testserver";
    Poco::Int64 m_version = 0;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
