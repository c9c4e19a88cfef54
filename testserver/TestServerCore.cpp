#include "TestServerCore.h"

#include "TestServerHandler.h"

#include <Poco/File.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Poco/UUIDGenerator.h>

#include <openssl/ssl.h>

#include <sys/socket.h>

#include <thread>

#ifndef VAULTPINE_TESTSERVER_CERT_DIR
#define VAULTPINE_TESTSERVER_CERT_DIR "."
#endif

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

std::string chooseDataDir(const ServerOptions& options, bool& owns)
{
    owns = options.dataDir.empty();
    if (!owns) return options.dataDir;
    return Poco::TemporaryFile::tempName(Poco::Path::temp()) + "-vaultpine-testserver";
}

} // namespace

TestServerCore::TestServerCore(ServerOptions options)
    : m_options(std::move(options))
{
    m_store = std::make_unique<TestServerStore>(chooseDataDir(m_options, m_ownsDataDir));
    m_stopEvent.set();
}

TestServerCore::~TestServerCore()
{
    stop();
    if (m_ownsDataDir) {
        try {
            Poco::File(m_store->dataDir()).remove(true);
        } catch (...) {
        }
    }
}

std::string TestServerCore::baseUrl() const
{
    return std::string(m_options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

std::string TestServerCore::certDir()
{
    return VAULTPINE_TESTSERVER_CERT_DIR;
}

std::string TestServerCore::redirectBaseUrl() const
{
    return std::string(m_options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_redirectPort);
}

std::unique_ptr<Poco::Net::HTTPServer> TestServerCore::makeListener(int listener, Poco::UInt16 port,
                                                                    Poco::ThreadPool& pool, Poco::UInt16& boundPort)
{
    Poco::Net::SocketAddress address("127.0.0.1", port);
    std::unique_ptr<Poco::Net::ServerSocket> socket;
    if (m_options.https)
        socket = std::make_unique<Poco::Net::SecureServerSocket>(address, 64, m_context);
    else
        socket = std::make_unique<Poco::Net::ServerSocket>(address, 64);
    boundPort = socket->address().port();
    m_listenFds.push_back(static_cast<int>(socket->impl()->sockfd()));

    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(m_options.threads);
    params->setMaxQueued(256);
    params->setKeepAlive(true);
    params->setMaxKeepAliveRequests(0);
    params->setKeepAliveTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(m_options.keepAliveTimeoutMs) * 1000));
    params->setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(m_options.socketTimeoutMs) * 1000));
    params->setSoftwareVersion("VaultpineTestServer/1.0");
    return std::make_unique<Poco::Net::HTTPServer>(new TestServerHandlerFactory(*this, listener), pool, *socket,
                                                   params);
}

void TestServerCore::start()
{
    if (m_running) return;
    if (m_options.https) {
        std::string dir = certDir();
        std::string cert = m_options.certFile.empty() ? dir + "/server.pem" : m_options.certFile;
        std::string key = m_options.keyFile.empty() ? dir + "/server.key" : m_options.keyFile;
        // Our own server context: the process-wide SSLManager defaults belong
        // to the client side. Every protocol version the TLS library can still
        // speak is accepted, so clients that ask for old versions can connect.
        m_context = new Poco::Net::Context(Poco::Net::Context::SERVER_USE, key, cert, "",
                                           Poco::Net::Context::VERIFY_NONE, 9, false,
                                           "ALL:!ADH:!LOW:!EXP:!MD5:@SECLEVEL=0:@STRENGTH");
        SSL_CTX_set_min_proto_version(m_context->sslContext(), TLS1_VERSION);
    }
    m_stopEvent.reset();
    int threads = std::max(2, m_options.threads);
    m_pool = std::make_unique<Poco::ThreadPool>(2, threads + 2, 60);
    m_server = makeListener(0, m_options.port, *m_pool, m_port);
    if (m_options.redirectListener) {
        m_redirectPool = std::make_unique<Poco::ThreadPool>(2, threads + 2, 60);
        m_redirectServer = makeListener(1, 0, *m_redirectPool, m_redirectPort);
    }
    m_server->start();
    if (m_redirectServer) m_redirectServer->start();
    m_running = true;
}

void TestServerCore::stop()
{
    if (!m_running) return;
    m_running = false;
    m_stopEvent.set(); // wakes delayed replies
    // Each listener's accept loop looks at its stop flag only between polls
    // of 250 ms. Shutting the listening sockets down (they stay open, so
    // their ports stay ours until the servers close them) ends those polls
    // at once: the loops find their stop flags set after a failed accept or
    // two, and a stop takes milliseconds instead of a quarter second.
    for (int fd : m_listenFds) ::shutdown(fd, SHUT_RDWR);
    m_listenFds.clear();
    std::thread redirectStop([this] {
        if (m_redirectServer) m_redirectServer->stopAll(true);
    });
    m_server->stopAll(true);
    redirectStop.join();
    if (m_pool) m_pool->joinAll();
    if (m_redirectPool) m_redirectPool->joinAll();
    m_server.reset();
    m_redirectServer.reset();
    m_pool.reset();
    m_redirectPool.reset();
    m_redirectPort = 0;
    // No Poco::Net::uninitializeSSL() here (nor initializeSSL() in start): it
    // would shut the process-wide SSLManager down, and with it the client
    // side's default context. The Context initialises OpenSSL by itself.
    m_context = nullptr;
}

std::string TestServerCore::issueDownloadToken(const std::string& userId, const std::string& path)
{
    std::string token = Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
    std::lock_guard<std::mutex> lock(m_transferMutex);
    m_downloadTokens[token] = {userId, path};
    return token;
}

bool TestServerCore::downloadToken(const std::string& token, std::string& userId, std::string& path)
{
    std::lock_guard<std::mutex> lock(m_transferMutex);
    auto it = m_downloadTokens.find(token);
    if (it == m_downloadTokens.end()) return false;
    userId = it->second.first;
    path = it->second.second;
    return true;
}

std::string TestServerCore::partialFile(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_transferMutex);
    auto it = m_partials.find(key);
    return it == m_partials.end() ? "" : it->second;
}

void TestServerCore::setPartialFile(const std::string& key, const std::string& file)
{
    std::lock_guard<std::mutex> lock(m_transferMutex);
    m_partials[key] = file;
}

void TestServerCore::dropPartialFile(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_transferMutex);
    m_partials.erase(key);
}

std::vector<SyncFolder> TestServerCore::syncFoldersOf(const std::string& userId) const
{
    auto set = m_sync.folders(userId);
    if (set) return *set;
    auto account = m_store->findAccount(userId);
    SyncFolder own;
    own.path = "/" + (account ? account->profile : userId);
    return {own};
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
