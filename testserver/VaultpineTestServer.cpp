#include "VaultpineTestServer.h"

#include "TestServerCore.h"
#include "TestServerWire.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/StreamCopier.h>

#include <fstream>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

// Normalised path, or "" when the text is not a valid server path.
std::string normal(const std::string& path)
{
    std::string out;
    return normaliseServerPath(path, out) ? out : "";
}

} // namespace

VaultpineTestServer::VaultpineTestServer(ServerOptions options)
    : m_core(std::make_unique<TestServerCore>(std::move(options)))
{
}

VaultpineTestServer::~VaultpineTestServer() = default;

void VaultpineTestServer::start() { m_core->start(); }
void VaultpineTestServer::stop() { m_core->stop(); }
bool VaultpineTestServer::isRunning() const { return m_core->isRunning(); }
Poco::UInt16 VaultpineTestServer::port() const { return m_core->port(); }
Poco::UInt16 VaultpineTestServer::redirectPort() const { return m_core->redirectPort(); }
std::string VaultpineTestServer::baseUrl() const { return m_core->baseUrl(); }
std::string VaultpineTestServer::dataDir() const { return m_core->store().dataDir(); }
std::string VaultpineTestServer::certDir() { return TestServerCore::certDir(); }

void VaultpineTestServer::addAccount(const TestAccount& account) { m_core->store().addAccount(account); }
void VaultpineTestServer::dropSessions(const std::string& userId) { m_core->store().dropSessions(userId); }
int VaultpineTestServer::sessionCount(const std::string& userId) const
{
    return m_core->store().sessionCount(userId);
}

bool VaultpineTestServer::makeFolder(const std::string& userId, const std::string& path)
{
    std::string resolved, error;
    if (!m_core->store().resolve(userId, path, resolved, error)) return false;
    return m_core->store().makeFolders(userId, resolved, "testserver", error);
}

bool VaultpineTestServer::putFile(const std::string& userId, const std::string& path, const std::string& content,
                                  Poco::Timestamp modified)
{
    return storeFile(userId, path, modified, [&](const std::string& temp) {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    });
}

bool VaultpineTestServer::putFileFrom(const std::string& userId, const std::string& path, const std::string& localFile,
                                      Poco::Timestamp modified)
{
    return storeFile(userId, path, modified, [&](const std::string& temp) { Poco::File(localFile).copyTo(temp); });
}

bool VaultpineTestServer::storeFile(const std::string& userId, const std::string& path, Poco::Timestamp modified,
                                    const std::function<void(const std::string&)>& writeTemp)
{
    std::string resolved, error;
    TestServerStore& store = m_core->store();
    if (!store.resolve(userId, path, resolved, error) || resolved == "/") return false;
    if (!store.makeFolders(userId, parentOf(resolved), "testserver", error)) return false;
    std::string temp = store.newTempFile();
    writeTemp(temp);
    return store.commitFile(userId, parentOf(resolved), lastSegment(resolved), temp, modified, true, "testserver",
                            error);
}

bool VaultpineTestServer::removeItem(const std::string& userId, const std::string& path)
{
    std::string error;
    return m_core->store().remove(userId, normal(path), "testserver", error);
}

std::optional<TestItem> VaultpineTestServer::item(const std::string& userId, const std::string& path) const
{
    return m_core->store().item(userId, normal(path));
}

std::optional<std::string> VaultpineTestServer::fileContent(const std::string& userId, const std::string& path) const
{
    std::string file = m_core->store().contentFile(userId, normal(path));
    if (file.empty()) return std::nullopt;
    Poco::FileInputStream in(file, std::ios::in | std::ios::binary);
    std::string content;
    Poco::StreamCopier::copyToString(in, content);
    return content;
}

std::string VaultpineTestServer::contentFile(const std::string& userId, const std::string& path) const
{
    return m_core->store().contentFile(userId, normal(path));
}

std::vector<TestItem> VaultpineTestServer::children(const std::string& userId, const std::string& folder) const
{
    return m_core->store().children(userId, normal(folder));
}

std::vector<TestItem> VaultpineTestServer::changesSince(const std::string& userId, const std::string& folder,
                                                        Poco::Int64 sinceVersion) const
{
    return m_core->store().changesSince(userId, normal(folder), sinceVersion);
}

Poco::Int64 VaultpineTestServer::currentVersion() const { return m_core->store().currentVersion(); }

void VaultpineTestServer::setStatusValue(const std::string& key, const std::string& value)
{
    m_core->side().setStatusValue(key, value);
}
void VaultpineTestServer::removeStatusValue(const std::string& key) { m_core->side().removeStatusValue(key); }
void VaultpineTestServer::setPlugins(const std::vector<std::string>& names) { m_core->side().setPlugins(names); }
void VaultpineTestServer::setAccess(const std::string& userId, const std::string& path, bool read, bool write)
{
    m_core->side().setAccess(userId, normal(path), read, write);
}
void VaultpineTestServer::addFavoriteList(const std::string& userId, const FavoriteList& list)
{
    m_core->side().addFavoriteList(userId, list);
}
void VaultpineTestServer::setRootRedirect(const std::string& location) { m_core->side().setRootRedirect(location); }

std::string VaultpineTestServer::queueRmcCommand(const std::string& clientId, const std::string& commandId,
                                                 const std::string& message)
{
    return m_core->side().queueRmcCommand(clientId, commandId, message);
}
std::vector<RmcCommand> VaultpineTestServer::rmcCommands(const std::string& clientId) const
{
    return m_core->side().rmcCommands(clientId);
}
std::optional<LockInfo> VaultpineTestServer::lockOf(const std::string& userId, const std::string& path) const
{
    return m_core->side().lockOf(userId, normal(path));
}
void VaultpineTestServer::setLock(const LockInfo& lock) { m_core->side().setLock(lock); }
std::vector<ShareInfo> VaultpineTestServer::shares() const { return m_core->side().shares(); }

int VaultpineTestServer::addFault(const TestFault& fault) { return m_core->faults().add(fault); }
void VaultpineTestServer::removeFault(int id) { m_core->faults().remove(id); }
void VaultpineTestServer::clearFaults() { m_core->faults().clear(); }

std::vector<RecordedRequest> VaultpineTestServer::requests() const { return m_core->log().all(); }
std::vector<RecordedRequest> VaultpineTestServer::requests(const std::string& path) const
{
    return m_core->log().forPath(path);
}
void VaultpineTestServer::clearRequests() { m_core->log().clear(); }
bool VaultpineTestServer::waitForRequests(const std::string& path, std::size_t count, int timeoutMs) const
{
    return m_core->log().waitFor(path, count, timeoutMs);
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
