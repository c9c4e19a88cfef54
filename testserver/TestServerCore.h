#pragma once

// Inside of VaultpineTestServer: owns the state objects, the two listeners
// and their thread pools. The HTTP handlers reach the state through it.
//
// Fields: m_options and the state objects are constant after construction
// (the objects lock themselves); the listeners and pools are touched only by
// start() and stop() on the owner's thread; m_downloadTokens and m_partials
// are guarded by m_transferMutex.

#include "TestServerFaults.h"
#include "TestServerRequestLog.h"
#include "TestServerSideState.h"
#include "TestServerStore.h"
#include "TestServerSyncState.h"
#include "VaultpineTestServer.h"

#include <Poco/Event.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>
#include <mutex>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerCore {
public:
    explicit TestServerCore(ServerOptions options);
    ~TestServerCore();

    void start();
    void stop();
    bool isRunning() const { return m_running; }

    const ServerOptions& options() const { return m_options; }
    Poco::UInt16 port() const { return m_port; }
    Poco::UInt16 redirectPort() const { return m_redirectPort; }
    std::string baseUrl() const;
    std::string redirectBaseUrl() const;
    static std::string certDir();

    TestServerStore& store() { return *m_store; }
    TestServerSideState& side() { return m_side; }
    TestServerSyncState& sync() { return m_sync; }
    // The sync folders the account sees: those the test set, else its own
    // files ("/<profile>").
    std::vector<SyncFolder> syncFoldersOf(const std::string& userId) const;
    TestServerFaults& faults() { return m_faults; }
    TestServerRequestLog& log() { return m_log; }

    // Waits up to ms milliseconds; returns early (true) when the server stops.
    bool waitForStop(int ms) { return m_stopEvent.tryWait(ms); }

    // Download tokens of the redirect listener: token -> (user, server path).
    std::string issueDownloadToken(const std::string& userId, const std::string& path);
    bool downloadToken(const std::string& token, std::string& userId, std::string& path);

    // Chunked uploads in progress: key -> partial file on disk.
    std::string partialFile(const std::string& key);
    void setPartialFile(const std::string& key, const std::string& file);
    void dropPartialFile(const std::string& key);

private:
    std::unique_ptr<Poco::Net::HTTPServer> makeListener(int listener, Poco::UInt16 port, Poco::ThreadPool& pool,
                                                        Poco::UInt16& boundPort);

    const ServerOptions m_options;
    bool m_ownsDataDir = false;
    std::unique_ptr<TestServerStore> m_store;
    TestServerSideState m_side;
    TestServerSyncState m_sync;
    TestServerFaults m_faults;
    TestServerRequestLog m_log;
    Poco::Event m_stopEvent{false}; // manual reset: set while stopped

    // Owner thread only.
    std::atomic<bool> m_running{false};
    Poco::UInt16 m_port = 0;
    Poco::UInt16 m_redirectPort = 0;
    Poco::Net::Context::Ptr m_context;
    std::unique_ptr<Poco::ThreadPool> m_pool;
    std::unique_ptr<Poco::ThreadPool> m_redirectPool;
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
    std::unique_ptr<Poco::Net::HTTPServer> m_redirectServer;
    // The listening sockets of the running servers (stop shuts them down to
    // end the servers' accept polls at once).
    std::vector<int> m_listenFds;

    std::mutex m_transferMutex; // guards the two maps below
    std::map<std::string, std::pair<std::string, std::string>> m_downloadTokens;
    std::map<std::string, std::string> m_partials;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
