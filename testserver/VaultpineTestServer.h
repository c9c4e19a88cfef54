#pragma once

// The project's local Vaultpine test server: a real HTTP(S) server on
// 127.0.0.1 that answers the client's API requests from an in-memory account
// and item model with file contents on disk. Tests start one on port 0, read
// its port, set up accounts and files, inject faults, run the client against
// it and then inspect the recorded requests and the server's state.
//
// Endpoints and reply shapes are listed in testserver/README.md.
//
// Threads: start/stop belong to the owning thread. Every other member may be
// called from any thread at any time, also while requests are being served:
// the state, the fault list and the request log each have their own lock.
// Request handling runs on the server's own thread pool (not Poco's default
// pool), so the client side may use that pool freely.
//
// Shutdown order (stop, also run by the destructor): stop accepting, wake every
// delayed reply, abort connections in progress, join the pool threads, then
// remove the data folder when the server made it.

#include "TestServerTypes.h"

#include <Poco/Types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerCore;

struct ServerOptions {
    Poco::UInt16 port = 0;  // 0: any free port (read it with port())
    bool https = false;     // serve TLS with certFile/keyFile
    std::string certFile;   // PEM; empty: the committed test server certificate
    std::string keyFile;    // PEM; empty: the committed test server key
    // Download-redirect listener: "redirect=1" downloads are answered with a
    // 302 to this second port, which serves the bytes. With false, downloads
    // are answered directly.
    bool redirectListener = true;
    std::string dataDir;    // file contents; empty: a fresh temp folder removed at stop
    int threads = 32;       // connections served at once per listener
    int socketTimeoutMs = 30000;     // bound on every server-side socket wait
    int keepAliveTimeoutMs = 10000;  // idle keep-alive connections are closed after this
    std::size_t recordBodyLimit = 1 << 20; // bytes of each request body kept in the log
};

class VaultpineTestServer {
public:
    explicit VaultpineTestServer(ServerOptions options = ServerOptions());
    ~VaultpineTestServer();
    VaultpineTestServer(const VaultpineTestServer&) = delete;
    VaultpineTestServer& operator=(const VaultpineTestServer&) = delete;

    // --- Life cycle -------------------------------------------------------
    // Binds 127.0.0.1 (and the redirect listener) and starts serving. Throws a
    // Poco::Exception when a port cannot be bound or the certificate cannot be
    // read. Starting a running server does nothing.
    void start();
    // Stops both listeners; returns when no request is being served any more.
    // Safe to call twice. State and request log stay readable afterwards.
    void stop();
    bool isRunning() const;
    Poco::UInt16 port() const;         // main listener, valid after start()
    Poco::UInt16 redirectPort() const; // 0 when there is no redirect listener
    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string baseUrl() const;
    std::string dataDir() const;
    // Folder of the committed test certificates: ca.pem (test CA), server.pem
    // and server.key (signed by it, SAN IP:127.0.0.1 and DNS:localhost),
    // foreign-ca.pem, foreign-server.pem and foreign-server.key (another CA).
    static std::string certDir();

    // --- Accounts and sessions -------------------------------------------
    // Adds or replaces an account and creates its top folders "/<profile>",
    // "/SHARED" and "/EXTERNAL".
    void addAccount(const TestAccount& account);
    // Logs every session of the user out ("" logs out everybody): later
    // requests with the old cookie get the authentication refusal.
    void dropSessions(const std::string& userId = "");
    // Number of sessions currently valid for the user.
    int sessionCount(const std::string& userId) const;

    // --- Storage (server paths such as "/user1/docs/a.txt") ---------------
    // Creates the folder and any missing parents. True when it exists afterwards.
    bool makeFolder(const std::string& userId, const std::string& path);
    // Creates or overwrites a file with the given bytes (parents are made).
    bool putFile(const std::string& userId, const std::string& path, const std::string& content,
                 Poco::Timestamp modified = Poco::Timestamp());
    // The same with the bytes of a local file, copied on disk (for large files).
    bool putFileFrom(const std::string& userId, const std::string& path, const std::string& localFile,
                     Poco::Timestamp modified = Poco::Timestamp());
    // Deletes a file or folder (leaving tombstones). False when absent.
    bool removeItem(const std::string& userId, const std::string& path);
    // The live (not deleted) item at the path.
    std::optional<TestItem> item(const std::string& userId, const std::string& path) const;
    // Bytes of a live file; nullopt when it is absent or a folder.
    std::optional<std::string> fileContent(const std::string& userId, const std::string& path) const;
    // On-disk file holding a live file's bytes ("" when absent).
    std::string contentFile(const std::string& userId, const std::string& path) const;
    // Live items directly inside the folder, sorted by name.
    std::vector<TestItem> children(const std::string& userId, const std::string& folder) const;
    // Every item at or below the folder (tombstones included) whose update
    // version is greater than sinceVersion, in version order.
    std::vector<TestItem> changesSince(const std::string& userId, const std::string& folder,
                                       Poco::Int64 sinceVersion) const;
    // The highest version handed out so far (0 before any change).
    Poco::Int64 currentVersion() const;
    // Moves or renames a file or folder as another device would (the old
    // place keeps tombstones). False when the move is refused.
    bool moveItem(const std::string& userId, const std::string& from, const std::string& to);
    // Gives the item and everything below it these flags ("SKIP": the client
    // does not sync it); the items are sent again in the next delta.
    bool setFlags(const std::string& userId, const std::string& path, const std::string& flags);
    // Peer (updatepeer/createpeer) and friendly name (the delta's "friendly")
    // of the changes made through this API. Default "testserver" for both.
    void setApiPeer(const std::string& peer, const std::string& friendlyName);
    // Loads every file and folder below a local folder into the account's
    // own files ("/<profile>/..."), keeping the files' modification times; links are
    // skipped. Returns the number of items loaded, -1 when the account or the
    // folder does not exist.
    int seedFromFolder(const std::string& userId, const std::string& localFolder);

    // --- Sync API -----------------------------------------------------------
    // The sync folders the account sees in the sync-folder list (replacing
    // the default, its own files "/<profile>"). Folders that do not exist are
    // not listed; the external paths a client sends are listed after these.
    void setSyncFolders(const std::string& userId, const std::vector<SyncFolder>& folders);
    std::vector<SyncFolder> syncFolders(const std::string& userId) const;
    // With false the folder list and status sets answer allowsync "0".
    void setAllowSync(const std::string& userId, bool allow);
    void setSyncOptions(const SyncOptions& options);
    SyncOptions syncOptions() const;
    // The status-set text the sync API gives the folder now.
    std::string statusSet(const std::string& userId, const std::string& folder) const;
    // Device name holding the account's sync lock (nullopt: free); setting
    // one acts as if that device had just locked ("" frees the lock).
    std::optional<std::string> syncLockHolder(const std::string& userId) const;
    void setSyncLockHolder(const std::string& userId, const std::string& device);
    // Blocks the account (logins refused, sessions ended) or unblocks it.
    void setAccountBlocked(const std::string& userId, bool blocked);
    std::vector<BackupRecord> backupRecords() const;
    // PNG bytes of "/core/getprofileimage" (per account) and of
    // "/core/getcustomimage?type=login"; default a 1x1 picture.
    void setProfileImage(const std::string& userId, const std::string& png);
    void setLoginImage(const std::string& png);

    // --- Server information ----------------------------------------------
    // Keys of the "status" record. "currentprofile" is always the logged-in
    // account's profile unless set here.
    void setStatusValue(const std::string& key, const std::string& value);
    void removeStatusValue(const std::string& key);
    // Names of the "plugin" records (default: "sync", "explorer", "bramblelink").
    void setPlugins(const std::vector<std::string>& names);
    // Access rights answered for the path (default: read and write "1").
    void setAccess(const std::string& userId, const std::string& path, bool read, bool write);
    void addFavoriteList(const std::string& userId, const FavoriteList& list);
    // Answer of the bare GET "/": a 302 to this location, or, when empty, a
    // 200 page. Default: "/ui/core/index.html".
    void setRootRedirect(const std::string& location);

    // --- Remote management, locks, shares ---------------------------------
    // Queues a command for the client id; returns its rid.
    std::string queueRmcCommand(const std::string& clientId, const std::string& commandId,
                                const std::string& message = "");
    std::vector<RmcCommand> rmcCommands(const std::string& clientId = "") const;
    std::optional<LockInfo> lockOf(const std::string& userId, const std::string& path) const;
    void setLock(const LockInfo& lock);
    std::vector<ShareInfo> shares() const;

    // --- Faults -----------------------------------------------------------
    // Adds a rule (applied in the order added; the first rule that matches a
    // request and still has uses left wins). Returns its id.
    int addFault(const TestFault& fault);
    void removeFault(int id);
    void clearFaults();

    // --- Request log ------------------------------------------------------
    std::vector<RecordedRequest> requests() const;
    // Requests whose normalised path equals `path`.
    std::vector<RecordedRequest> requests(const std::string& path) const;
    void clearRequests();
    // Waits until at least `count` requests of the path have been recorded or
    // the timeout passes; true when they have.
    bool waitForRequests(const std::string& path, std::size_t count, int timeoutMs) const;
    // Requests of the path being served right now (from the arrival of the
    // head until the reply is sent, a fault's delay included), and the most
    // served at once since the start or clearRequests(): how a test sees how
    // many transfers a client runs in parallel.
    int requestsInFlight(const std::string& path) const;
    int peakRequestsInFlight(const std::string& path) const;

private:
    bool storeFile(const std::string& userId, const std::string& path, Poco::Timestamp modified,
                   const std::function<void(const std::string&)>& writeTemp);

    std::unique_ptr<TestServerCore> m_core;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
