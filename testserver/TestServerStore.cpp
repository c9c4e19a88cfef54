#include "TestServerStore.h"

#include "TestServerWire.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/UUIDGenerator.h>

#include <algorithm>
#include <cctype>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

std::string lower(std::string text)
{
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string newUuid()
{
    return Poco::UUIDGenerator::defaultGenerator().createRandom().toString();
}

const char* const kExists = "A file or folder with the same name already exists";
const char* const kNotFound = "File or folder not found";
const char* const kNoFolder = "Target folder does not exist";

bool validName(const std::string& name)
{
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

} // namespace

TestServerStore::TestServerStore(std::string dataDir)
    : m_dataDir(std::move(dataDir))
{
    Poco::File(m_dataDir + "/files").createDirectories();
    Poco::File(m_dataDir + "/tmp").createDirectories();
}

// --- Accounts and sessions ---------------------------------------------------

void TestServerStore::addAccount(const TestAccount& account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData& data = m_accounts[lower(account.userId)];
    data.account = account;
    if (data.account.profile.empty()) data.account.profile = account.userId;
    for (const std::string& top : {"/" + data.account.profile, std::string("/SHARED"), std::string("/EXTERNAL")})
        if (!data.live.count(top)) addItem(data, top, 0, "testserver");
}

std::optional<TestAccount> TestServerStore::findAccount(const std::string& loginName) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_accounts) {
        const TestAccount& a = entry.second.account;
        if (equalsNoCase(a.userId, loginName) || (!a.email.empty() && equalsNoCase(a.email, loginName))) return a;
    }
    return std::nullopt;
}

std::vector<TestAccount> TestServerStore::accounts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TestAccount> out;
    for (const auto& entry : m_accounts) out.push_back(entry.second.account);
    return out;
}

std::string TestServerStore::openSession(const std::string& userId, const std::string& clientId,
                                         const std::string& clientName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    TestSession s{newUuid(), userId, clientId, clientName};
    m_sessions[s.cookie] = s;
    if (!clientId.empty() && !clientName.empty()) m_peerNames[clientId] = clientName;
    return s.cookie;
}

std::optional<TestSession> TestServerStore::session(const std::string& cookie) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(cookie);
    if (it == m_sessions.end()) return std::nullopt;
    return it->second;
}

void TestServerStore::dropSessions(const std::string& userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (userId.empty() || equalsNoCase(it->second.userId, userId))
            it = m_sessions.erase(it);
        else
            ++it;
    }
}

int TestServerStore::sessionCount(const std::string& userId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_sessions.begin(), m_sessions.end(),
                                          [&](const auto& s) { return equalsNoCase(s.second.userId, userId); }));
}

bool TestServerStore::setBlocked(const std::string& userId, bool blocked)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        AccountData* data = accountData(userId);
        if (!data) return false;
        data->account.blocked = blocked;
    }
    if (blocked) dropSessions(userId);
    return true;
}

std::string TestServerStore::issueTwoFactorToken(const std::string& userId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string token = newUuid();
    m_twoFactorTokens[token] = lower(userId);
    return token;
}

bool TestServerStore::takeTwoFactorToken(const std::string& userId, const std::string& token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_twoFactorTokens.find(token);
    if (it == m_twoFactorTokens.end() || it->second != lower(userId)) return false;
    m_twoFactorTokens.erase(it);
    return true;
}

// --- Paths -------------------------------------------------------------------

bool TestServerStore::resolve(const std::string& userId, const std::string& raw, std::string& path,
                              std::string& error) const
{
    std::string normal;
    if (!normaliseServerPath(raw, normal)) {
        error = "Invalid path";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const AccountData* data = accountData(userId);
    if (!data) {
        error = "Unknown account";
        return false;
    }
    if (normal != "/") {
        std::string top = normal.substr(1, normal.find('/', 1) == std::string::npos ? std::string::npos
                                                                                    : normal.find('/', 1) - 1);
        if (top != data->account.profile && top != "SHARED" && top != "EXTERNAL") {
            error = "Access denied to path";
            return false;
        }
    }
    path = normal;
    return true;
}

// --- Reading -----------------------------------------------------------------

std::optional<TestItem> TestServerStore::item(const std::string& userId, const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const AccountData* data = accountData(userId);
    if (!data) return std::nullopt;
    auto it = data->live.find(path);
    if (it == data->live.end()) return std::nullopt;
    return it->second;
}

std::vector<TestItem> TestServerStore::children(const std::string& userId, const std::string& folder) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TestItem> out;
    const AccountData* data = accountData(userId);
    if (!data) return out;
    for (const auto& entry : data->live)
        if (entry.second.parent == folder && entry.first != folder) out.push_back(entry.second);
    std::sort(out.begin(), out.end(), [](const TestItem& a, const TestItem& b) { return a.name < b.name; });
    return out;
}

std::vector<TestItem> TestServerStore::changesSince(const std::string& userId, const std::string& folder,
                                                    Poco::Int64 sinceVersion) const
{
    return folderChanges(userId, folder, sinceVersion).changes;
}

FolderChanges TestServerStore::folderChanges(const std::string& userId, const std::string& folder,
                                             Poco::Int64 sinceVersion) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    FolderChanges out;
    const AccountData* data = accountData(userId);
    if (!data) return out;
    auto consider = [&](const TestItem& item) {
        if (!isAtOrBelow(item.fullPath, folder)) return;
        out.version = std::max(out.version, item.updateVersion);
        if (item.updateVersion > sinceVersion) out.changes.push_back(item);
    };
    for (const auto& entry : data->live) consider(entry.second);
    for (const auto& dead : data->tombstones) consider(dead);
    std::sort(out.changes.begin(), out.changes.end(),
              [](const TestItem& a, const TestItem& b) { return a.updateVersion < b.updateVersion; });
    return out;
}

Poco::Int64 TestServerStore::currentVersion() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_version;
}

// --- Peers -------------------------------------------------------------------

std::string TestServerStore::peerName(const std::string& peer) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_peerNames.find(peer);
    return it == m_peerNames.end() ? peer : it->second;
}

std::string TestServerStore::apiPeer() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_apiPeer;
}

void TestServerStore::setApiPeer(const std::string& peer, const std::string& friendlyName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_apiPeer = peer;
    if (!friendlyName.empty()) m_peerNames[peer] = friendlyName;
}

std::string TestServerStore::contentFile(const std::string& userId, const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const AccountData* data = accountData(userId);
    if (!data) return "";
    auto it = data->live.find(path);
    if (it == data->live.end() || it->second.type != 1) return "";
    return dataFileOf(it->second);
}

// --- Changes -----------------------------------------------------------------

bool TestServerStore::makeFolders(const std::string& userId, const std::string& path, const std::string& peer,
                                  std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountData(userId);
    if (!data) {
        error = "Unknown account";
        return false;
    }
    return makeFoldersLocked(*data, path, peer, error);
}

bool TestServerStore::createFolder(const std::string& userId, const std::string& parent, const std::string& name,
                                   const std::string& peer, std::string& error)
{
    if (!validName(name)) {
        error = "Invalid folder name";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountWithFolder(userId, parent, error);
    if (!data) return false;
    std::string path = joinServerPath(parent, name);
    if (data->live.count(path)) {
        error = kExists;
        return false;
    }
    addItem(*data, path, 0, peer);
    return true;
}

bool TestServerStore::remove(const std::string& userId, const std::string& path, const std::string& peer,
                             std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountData(userId);
    if (!data || !data->live.count(path)) {
        error = kNotFound;
        return false;
    }
    if (parentOf(path) == "/" && path != "/") {
        error = "Top folders cannot be deleted";
        return false;
    }
    buryBelow(*data, path, peer);
    return true;
}

bool TestServerStore::move(const std::string& userId, const std::string& from, const std::string& to, bool overwrite,
                           const std::string& peer, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = prepareTarget(userId, from, to, true, overwrite, peer, error);
    if (!data) return false;

    std::vector<TestItem> moved;
    for (auto it = data->live.begin(); it != data->live.end();) {
        if (isAtOrBelow(it->first, from)) {
            moved.push_back(it->second);
            it = data->live.erase(it);
        } else {
            ++it;
        }
    }
    for (TestItem& item : moved) { // map order: a folder comes before its content
        TestItem left = item;     // what stays behind at the old path
        left.deleted = true;
        touch(left, peer);
        data->tombstones.push_back(left);
        item.fullPath = to + item.fullPath.substr(from.size());
        item.parent = parentOf(item.fullPath);
        item.name = lastSegment(item.fullPath);
        touch(item, peer);
        item.pathVersion = item.updateVersion;
        data->live[item.fullPath] = item;
    }
    return true;
}

bool TestServerStore::copy(const std::string& userId, const std::string& from, const std::string& to, bool overwrite,
                           const std::string& peer, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = prepareTarget(userId, from, to, false, overwrite, peer, error);
    if (!data) return false;

    std::vector<TestItem> sources;
    for (const auto& entry : data->live)
        if (isAtOrBelow(entry.first, from)) sources.push_back(entry.second);
    for (const TestItem& source : sources) { // map order: a folder comes before its content
        TestItem& copy = addItem(*data, to + source.fullPath.substr(from.size()), source.type, peer);
        copy.modified = source.modified;
        if (source.type == 1) {
            Poco::File(dataFileOf(source)).copyTo(dataFileOf(copy));
            copy.size = source.size;
        }
    }
    return true;
}

bool TestServerStore::commitFile(const std::string& userId, const std::string& folder, const std::string& name,
                                 const std::string& tempFile, const Poco::Timestamp& modified, bool overwrite,
                                 const std::string& peer, std::string& error)
{
    if (!validName(name)) {
        error = "Invalid file name";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountWithFolder(userId, folder, error);
    if (!data) return false;
    std::string path = joinServerPath(folder, name);
    auto existing = data->live.find(path);
    TestItem* target = nullptr;
    if (existing != data->live.end()) {
        if (existing->second.type != 1 || !overwrite) {
            error = kExists;
            return false;
        }
        target = &existing->second;
        touch(*target, peer);
    } else {
        target = &addItem(*data, path, 1, peer);
    }
    Poco::File temp(tempFile);
    target->size = static_cast<Poco::Int64>(temp.getSize());
    target->modified = modified;
    temp.renameTo(dataFileOf(*target));
    return true;
}

bool TestServerStore::setFlags(const std::string& userId, const std::string& path, const std::string& flags,
                               const std::string& peer, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountData(userId);
    if (!data || !data->live.count(path)) {
        error = kNotFound;
        return false;
    }
    for (auto& entry : data->live)
        if (isAtOrBelow(entry.first, path)) {
            entry.second.flags = flags;
            touch(entry.second, peer);
        }
    return true;
}

bool TestServerStore::touchItem(const std::string& userId, const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AccountData* data = accountData(userId);
    auto it = data ? data->live.find(path) : std::map<std::string, TestItem>::iterator();
    if (!data || it == data->live.end()) {
        error = kNotFound;
        return false;
    }
    it->second.updateVersion = ++m_version;
    return true;
}

std::string TestServerStore::newTempFile() const
{
    return m_dataDir + "/tmp/" + newUuid();
}

// --- Helpers (m_mutex held) ----------------------------------------------------

TestServerStore::AccountData* TestServerStore::accountData(const std::string& userId)
{
    auto it = m_accounts.find(lower(userId));
    return it == m_accounts.end() ? nullptr : &it->second;
}

const TestServerStore::AccountData* TestServerStore::accountData(const std::string& userId) const
{
    auto it = m_accounts.find(lower(userId));
    return it == m_accounts.end() ? nullptr : &it->second;
}

TestServerStore::AccountData* TestServerStore::accountWithFolder(const std::string& userId,
                                                                const std::string& folder, std::string& error)
{
    AccountData* data = accountData(userId);
    auto it = data ? data->live.find(folder) : std::map<std::string, TestItem>::iterator();
    if (!data || it == data->live.end() || it->second.type != 0) {
        error = kNoFolder;
        return nullptr;
    }
    return data;
}

std::string TestServerStore::dataFileOf(const TestItem& item) const
{
    return m_dataDir + "/files/" + item.id;
}

TestItem& TestServerStore::addItem(AccountData& data, const std::string& path, int type, const std::string& peer)
{
    TestItem item;
    item.id = newUuid();
    item.type = type;
    item.fullPath = path;
    item.parent = parentOf(path);
    item.name = lastSegment(path);
    item.createVersion = item.updateVersion = item.pathVersion = ++m_version;
    item.createPeer = item.updatePeer = peer;
    if (type == 1) Poco::File(dataFileOf(item)).createFile();
    return data.live[path] = item;
}

void TestServerStore::touch(TestItem& item, const std::string& peer)
{
    item.updateVersion = ++m_version;
    item.updatePeer = peer;
}

void TestServerStore::buryBelow(AccountData& data, const std::string& path, const std::string& peer)
{
    for (auto it = data.live.begin(); it != data.live.end();) {
        if (isAtOrBelow(it->first, path)) {
            TestItem dead = it->second;
            if (dead.type == 1) Poco::File(dataFileOf(dead)).remove();
            dead.deleted = true;
            touch(dead, peer);
            data.tombstones.push_back(dead);
            it = data.live.erase(it);
        } else {
            ++it;
        }
    }
}

TestServerStore::AccountData* TestServerStore::prepareTarget(const std::string& userId, const std::string& from,
                                                            const std::string& to, bool moving, bool overwrite,
                                                            const std::string& peer, std::string& error)
{
    AccountData* data = accountData(userId);
    if (!data || !data->live.count(from)) {
        error = kNotFound;
        return nullptr;
    }
    if (isAtOrBelow(to, from) || (moving && parentOf(from) == "/")) {
        error = moving ? "Cannot move this item there" : "Cannot copy a folder into itself";
        return nullptr;
    }
    auto parent = data->live.find(parentOf(to));
    if (parent == data->live.end() || parent->second.type != 0 || parentOf(to) == "/") {
        error = kNoFolder;
        return nullptr;
    }
    if (data->live.count(to)) {
        if (!overwrite) {
            error = kExists;
            return nullptr;
        }
        buryBelow(*data, to, peer);
    }
    return data;
}

bool TestServerStore::makeFoldersLocked(AccountData& data, const std::string& path, const std::string& peer,
                                        std::string& error)
{
    if (path == "/") return true;
    auto it = data.live.find(path);
    if (it != data.live.end()) {
        if (it->second.type == 0) return true;
        error = kExists;
        return false;
    }
    if (parentOf(path) == "/") {
        error = "Access denied to path";
        return false;
    }
    if (!makeFoldersLocked(data, parentOf(path), peer, error)) return false;
    addItem(data, path, 0, peer);
    return true;
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
