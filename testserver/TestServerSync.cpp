// The sync API of the test server and the backup record.
//
// Sync folders are server paths ("/user1", "/SHARED/teamacct",
// "/EXTERNAL/share1"). A folder's status set is the text "server:<N>", N the
// highest version of anything at or below the folder, so it changes exactly
// when something in the folder changes. A delta for the status "server:<S>"
// carries every item at or below the folder whose version is above S (live
// items and tombstones, in version order), except tombstones of items that
// came to their path after S (the client never had them there). With a page
// size set, a reply carries the first records only and its remotestatus is
// the version of the last one, so the client asks again until remotestatus
// equals remotefullstatusset.
//
// The client's own uploads, folders, renames and deletes are items like any
// other: the next delta of the folder carries them back (the echo the client
// relies on to fill its database).
//
// Every record's "id" is a name-based UUID of the item's identity and its
// path: an overwrite keeps the id, a move gives the new place a new id while
// the tombstone at the old place keeps the old one.

#include "TestServerCore.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

#include <Poco/Checksum.h>
#include <Poco/FileStream.h>
#include <Poco/NumberParser.h>
#include <Poco/UUID.h>
#include <Poco/UUIDGenerator.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

// Namespace of the sync record ids.
const Poco::UUID kSyncIdSpace("6a1d2f0e-4b7c-4e55-9c3a-2d8f1b0e7a41");

std::string syncId(const TestItem& item)
{
    return Poco::UUIDGenerator::defaultGenerator().createFromName(kSyncIdSpace, item.id + "\n" + item.fullPath)
        .toString();
}

// Decimal text, with "," between groups of three digits when asked.
std::string number(Poco::Int64 value, bool separators)
{
    std::string digits = std::to_string(value);
    if (!separators) return digits;
    std::size_t first = digits[0] == '-' ? 1 : 0;
    for (std::size_t at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// The paths of a "count=n&path1=..&pathn=.." body that name folders of the
// account, normalised, in order.
std::vector<std::string> requestedPaths(TestServerStore& store, Exchange& ex)
{
    std::vector<std::string> paths;
    int count = 0;
    Poco::NumberParser::tryParse(ex.field("count"), count);
    for (int i = 1; i <= count; ++i) {
        std::string path, error;
        if (store.resolve(ex.session->userId, ex.field("path" + std::to_string(i)), path, error)) paths.push_back(path);
    }
    return paths;
}

// The sync-folder reply: the meta record with allowsync, then one
// "syncfolder" record per folder that exists (each path once).
Reply syncFolderReply(TestServerCore& core, const std::string& userId, const std::vector<SyncFolder>& folders)
{
    XmlReply reply("syncfolders");
    reply.record("meta", {{"allowsync", core.sync().allowSync(userId) ? "1" : "0"}});
    std::set<std::string> listed;
    for (const SyncFolder& folder : folders) {
        auto item = core.store().item(userId, folder.path);
        if (!item || item->type != 0 || !listed.insert(folder.path).second) continue;
        Poco::Int64 version =
            core.store().folderChanges(userId, folder.path, std::numeric_limits<Poco::Int64>::max()).version;
        reply.record("syncfolder", {{"name", folder.path},
                                    {"statusset", syncStatusText(version)},
                                    {"skipdetect", folder.skipDetect ? "1" : "0"},
                                    {"teamfolder", folder.teamFolder ? "1" : "0"},
                                    {"teamfolderaccount", folder.teamFolderAccount}});
    }
    Reply out;
    out.body = reply.str();
    return out;
}

Fields deltaRecord(TestServerStore& store, const TestItem& item, bool separators)
{
    return {{"id", syncId(item)},
            {"updateversion", number(item.updateVersion, separators)},
            {"updatepeer", item.updatePeer},
            {"createversion", number(item.createVersion, separators)},
            {"createpeer", item.createPeer},
            {"isdeleted", item.deleted ? "1" : "0"},
            {"type", item.type == 0 ? "0" : "1"},
            {"flags", item.flags},
            {"name", item.name},
            {"parent", item.parent},
            {"fullpath", item.fullPath},
            {"size", number(item.type == 0 ? 0 : item.size, separators)},
            {"modified", sortableTime(item.modified)},
            {"attribs", ""},
            {"friendly", store.peerName(item.updatePeer)}};
}

// CRC-32 and Adler-32 of `length` bytes from `start` (-1: to the end), each
// as eight lower-case hex digits: the checksum text the client computes for
// its own files, so equal bytes give equal texts.
bool fileChecksum(const std::string& file, Poco::Int64 start, Poco::Int64 length, std::string& out)
{
    Poco::FileInputStream in(file, std::ios::in | std::ios::binary);
    in.seekg(start);
    if (!in) return false;
    Poco::Checksum crc32(Poco::Checksum::TYPE_CRC32);
    Poco::Checksum adler32(Poco::Checksum::TYPE_ADLER32);
    char buffer[65536];
    Poco::Int64 left = length < 0 ? std::numeric_limits<Poco::Int64>::max() : length;
    while (left > 0) {
        in.read(buffer, static_cast<std::streamsize>(std::min<Poco::Int64>(left, sizeof(buffer))));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        crc32.update(buffer, static_cast<unsigned>(got));
        adler32.update(buffer, static_cast<unsigned>(got));
        left -= got;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%08x%08x", static_cast<unsigned>(crc32.checksum()),
                  static_cast<unsigned>(adler32.checksum()));
    out = text;
    return true;
}

// A sync-lock reply: one record with success "true"/"false", the reason of a
// refusal, then the extra fields.
std::string lockAnswer(const std::string& root, const std::string& record, bool ok, const std::string& error,
                       const Fields& extra = {})
{
    Fields fields{{"success", ok ? "true" : "false"}, {"reason", ok ? "" : error}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return XmlReply(root).record(record, fields).str();
}

Poco::Int64 numberField(Exchange& ex, const std::string& name, Poco::Int64 fallback)
{
    Poco::Int64 value = fallback;
    return Poco::NumberParser::tryParse64(ex.field(name), value) ? value : fallback;
}

} // namespace

// POST ?v=1&friendly=<device>, body count=n&path1=..: the account's folders,
// then the external paths the client sends.
Reply TestServerRouter::syncFolderList(Exchange& ex)
{
    const std::string& user = ex.session->userId;
    std::vector<SyncFolder> folders = m_core.syncFoldersOf(user);
    for (const std::string& path : requestedPaths(m_core.store(), ex)) {
        SyncFolder external;
        external.path = path;
        folders.push_back(external);
    }
    return syncFolderReply(m_core, user, folders);
}

// POST, body v=1&count=n&path1=..: exactly the folders asked for (the
// selected and external paths), with the team flags of the account's folder
// that holds each.
Reply TestServerRouter::syncFolderStatusSet(Exchange& ex)
{
    const std::string& user = ex.session->userId;
    std::vector<SyncFolder> own = m_core.syncFoldersOf(user);
    std::vector<SyncFolder> folders;
    for (const std::string& path : requestedPaths(m_core.store(), ex)) {
        SyncFolder folder;
        for (const SyncFolder& holder : own)
            if (holder.teamFolder && isAtOrBelow(path, holder.path)) folder = holder;
        folder.path = path;
        folder.skipDetect = false;
        folders.push_back(folder);
    }
    return syncFolderReply(m_core, user, folders);
}

// POST ?friendly=..&name=<device>&path=<folder>, body status=<status set>.
Reply TestServerRouter::syncDelta(Exchange& ex)
{
    const std::string& user = ex.session->userId;
    const SyncOptions options = m_core.sync().options();
    const std::string localStatus = ex.field("status");
    XmlReply reply("syncdelta");
    std::string folder, error;
    if (!m_core.store().resolve(user, ex.field("path"), folder, error)) {
        reply.record("meta", {{"status", "INVALIDPATH"}, {"message", error},
                              {"syncprotocolversion", options.protocolVersion}});
        return xml(reply.str());
    }

    const Poco::Int64 since = syncStatusVersion(localStatus);
    FolderChanges state = m_core.store().folderChanges(user, folder, since);
    std::vector<TestItem> records;
    for (const TestItem& item : state.changes)
        if (!item.deleted || item.pathVersion <= since) records.push_back(item);
    const std::string fullStatus = syncStatusText(state.version);
    std::string remoteStatus = fullStatus;
    if (options.pageSize > 0 && records.size() > static_cast<std::size_t>(options.pageSize)) {
        records.resize(static_cast<std::size_t>(options.pageSize));
        remoteStatus = syncStatusText(records.back().updateVersion);
    }

    reply.record("meta", {{"status", "SERVEROK"},
                          {"localstatus", localStatus},
                          {"remotestatus", remoteStatus},
                          {"remotefullstatusset", fullStatus},
                          {"remotepeer", "server"},
                          {"numrecords", number(static_cast<Poco::Int64>(records.size()), options.thousandsSeparators)},
                          {"syncprotocolversion", options.protocolVersion}});
    for (const TestItem& item : records)
        reply.record("record", deltaRecord(m_core.store(), item, options.thousandsSeparators));
    Reply out = xml(reply.str());
    compressIfAccepted(ex, out);
    return out;
}

// POST, body path=<server path>: the item is sent again in the next delta.
Reply TestServerRouter::recheckRecord(Exchange& ex)
{
    const std::string type = "recheckrecord";
    std::string path, error;
    Reply refusal;
    if (!resolve(ex, ex.field("path"), path, refusal, type)) return refusal;
    bool ok = m_core.store().touchItem(ex.session->userId, path, error);
    return command(type, ok, ok ? "" : error);
}

// GET ?friendly=..&name=..&fullpath=<server path>&size=<n>: acknowledged for
// any path of the account (the request log keeps what was skipped).
Reply TestServerRouter::skipUpload(Exchange& ex)
{
    const std::string type = "skipupload";
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("fullpath"), path, refusal, type)) return refusal;
    return command(type, true, "");
}

// GET ?friendly=..&download=0|1&fullpath=<file>&name=..&start=<a>&length=<n>:
// result "1" with the checksum of those bytes as message.
Reply TestServerRouter::checksum(Exchange& ex)
{
    const std::string type = "getchecksum";
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("fullpath"), path, refusal, type)) return refusal;
    std::string file = m_core.store().contentFile(ex.session->userId, path);
    std::string text;
    if (file.empty() || !fileChecksum(file, numberField(ex, "start", 0), numberField(ex, "length", -1), text))
        return command(type, false, "File not found");
    return command(type, true, text);
}

// GET ?friendly=..&name=<device>: the account's sync lock for that device.
Reply TestServerRouter::syncLock(Exchange& ex)
{
    std::string error = "No device name";
    std::string device = ex.field("name");
    bool ok = !device.empty() && m_core.sync().takeLock(ex.session->userId, device, error);
    return xml(lockAnswer("locks", "lock", ok, error,
                          {{"uploadpath", ok ? "/" + profileOf(ex) : ""},
                           {"syncversion", m_core.sync().options().protocolVersion}}));
}

// GET ?friendly=..&name=<device>: releases the lock that device holds.
Reply TestServerRouter::syncUnlock(Exchange& ex)
{
    std::string error;
    bool ok = m_core.sync().releaseLock(ex.session->userId, ex.field("name"), error);
    return xml(lockAnswer("unlocks", "unlock", ok, error));
}

// GET ?&name=<device>: keeps the lock that device holds alive.
Reply TestServerRouter::refreshLock(Exchange& ex)
{
    std::string error;
    bool ok = m_core.sync().renewLock(ex.session->userId, ex.field("name"), error);
    return xml(lockAnswer("locks", "lock", ok, error));
}

// POST remote_client_id, device_name, backup_set_name,
// backup_set_local_folder, backup_set_filestats, send_email.
Reply TestServerRouter::addBackupRecord(Exchange& ex)
{
    BackupRecord record;
    record.userId = ex.session->userId;
    record.clientId = ex.field("remote_client_id");
    record.deviceName = ex.field("device_name");
    record.setName = ex.field("backup_set_name");
    record.localFolder = ex.field("backup_set_local_folder");
    record.fileStats = ex.field("backup_set_filestats");
    record.sendEmail = ex.field("send_email");
    if (record.setName.empty()) return command("addbackuprecord", false, "No backup set name");
    m_core.side().addBackupRecord(record);
    return command("addbackuprecord", true, "Backup record added");
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
