#include "VaultpineTestServer.h"

#include "TestServerCore.h"
#include "TestServerWire.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/StreamCopier.h>

#include <fstream>
#include <limits>

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
    TestServerStore& store = m_core->store();
    if (!store.resolve(userId, path, resolved, error)) return false;
    return store.makeFolders(userId, resolved, store.apiPeer(), error);
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
    if (!store.makeFolders(userId, parentOf(resolved), store.apiPeer(), error)) return false;
    std::string temp = store.newTempFile();
    writeTemp(temp);
    return store.commitFile(userId, parentOf(resolved), lastSegment(resolved), temp, modified, true, store.apiPeer(),
                            error);
}

bool VaultpineTestServer::removeItem(const std::string& userId, const std::string& path)
{
    std::string error;
    TestServerStore& store = m_core->store();
    return store.remove(userId, normal(path), store.apiPeer(), error);
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

bool VaultpineTestServer::moveItem(const std::string& userId, const std::string& from, const std::string& to)
{
    std::string source, target, error;
    TestServerStore& store = m_core->store();
    if (!store.resolve(userId, from, source, error) || !store.resolve(userId, to, target, error)) return false;
    return store.move(userId, source, target, false, store.apiPeer(), error);
}

bool VaultpineTestServer::setFlags(const std::string& userId, const std::string& path, const std::string& flags)
{
    std::string error;
    TestServerStore& store = m_core->store();
    return store.setFlags(userId, normal(path), flags, store.apiPeer(), error);
}

void VaultpineTestServer::setApiPeer(const std::string& peer, const std::string& friendlyName)
{
    m_core->store().setApiPeer(peer, friendlyName);
}

int VaultpineTestServer::seedFromFolder(const std::string& userId, const std::string& localFolder)
{
    auto account = m_core->store().findAccount(userId);
    Poco::File root(localFolder);
    if (!account || !root.exists() || !root.isDirectory()) return -1;
    int loaded = 0;
    // Depth first with an explicit list of folders still to read; links are
    // never followed, so the walk stays inside the folder.
    std::vector<std::pair<std::string, std::string>> pending{{localFolder, "/" + account->profile}};
    while (!pending.empty()) {
        auto [local, remote] = pending.back();
        pending.pop_back();
        for (Poco::DirectoryIterator it(local), end; it != end; ++it) {
            if (it->isLink()) continue;
            std::string target = joinServerPath(remote, it.name());
            if (it->isDirectory()) {
                if (!makeFolder(account->userId, target)) continue;
                pending.emplace_back(it->path(), target);
                ++loaded;
            } else if (it->isFile() && putFileFrom(account->userId, target, it->path(), it->getLastModified())) {
                ++loaded;
            }
        }
    }
    return loaded;
}

void VaultpineTestServer::setSyncFolders(const std::string& userId, const std::vector<SyncFolder>& folders)
{
    std::vector<SyncFolder> normalised = folders;
    for (SyncFolder& folder : normalised) folder.path = normal(folder.path);
    m_core->sync().setFolders(userId, normalised);
}

std::vector<SyncFolder> VaultpineTestServer::syncFolders(const std::string& userId) const
{
    return m_core->syncFoldersOf(userId);
}

void VaultpineTestServer::setAllowSync(const std::string& userId, bool allow) { m_core->sync().setAllowSync(userId, allow); }
void VaultpineTestServer::setSyncOptions(const SyncOptions& options) { m_core->sync().setOptions(options); }
SyncOptions VaultpineTestServer::syncOptions() const { return m_core->sync().options(); }

std::string VaultpineTestServer::statusSet(const std::string& userId, const std::string& folder) const
{
    return syncStatusText(
        m_core->store().folderChanges(userId, normal(folder), std::numeric_limits<Poco::Int64>::max()).version);
}

std::optional<std::string> VaultpineTestServer::syncLockHolder(const std::string& userId) const
{
    return m_core->sync().lockHolder(userId);
}
void VaultpineTestServer::setSyncLockHolder(const std::string& userId, const std::string& device)
{
    m_core->sync().setLockHolder(userId, device);
}
void VaultpineTestServer::setAccountBlocked(const std::string& userId, bool blocked)
{
    m_core->store().setBlocked(userId, blocked);
}
std::vector<BackupRecord> VaultpineTestServer::backupRecords() const { return m_core->side().backupRecords(); }
void VaultpineTestServer::setProfileImage(const std::string& userId, const std::string& png)
{
    m_core->side().setProfileImage(userId, png);
}
void VaultpineTestServer::setLoginImage(const std::string& png) { m_core->side().setLoginImage(png); }

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
int VaultpineTestServer::requestsInFlight(const std::string& path) const { return m_core->log().inFlight(path); }
int VaultpineTestServer::peakRequestsInFlight(const std::string& path) const
{
    return m_core->log().peakInFlight(path);
}
bool VaultpineTestServer::waitForRequests(const std::string& path, std::size_t count, int timeoutMs) const
{
    return m_core->log().waitFor(path, count, timeoutMs);
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
