// Information endpoints of the test server: status, plugin list,
// authentication info, file info, access details, favourites, the
// remote-management queue, and the profile and login images.

#include "TestServerCore.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

#include <Poco/StringTokenizer.h>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// The status record; an empty "teamfolderaccount" is filled with the owner of
// the account's first team folder, so a client sees its team folders without
// further set-up.
Reply TestServerRouter::systemStatus(Exchange& ex)
{
    Fields status = m_core.side().statusRecord(profileOf(ex));
    for (auto& field : status) {
        if (field.first != "teamfolderaccount" || !field.second.empty()) continue;
        for (const SyncFolder& folder : m_core.syncFoldersOf(ex.session->userId))
            if (folder.teamFolder && field.second.empty()) field.second = folder.teamFolderAccount;
    }
    return xml(XmlReply("systemstatus").record("status", status).str());
}

Reply TestServerRouter::pluginList(Exchange&)
{
    XmlReply reply("plugins");
    for (const std::string& name : m_core.side().plugins())
        reply.record("plugin", {{"name", name}, {"displayname", name}, {"enabled", "1"}});
    return xml(reply.str());
}

Reply TestServerRouter::authenticationInfo(Exchange& ex)
{
    auto account = m_core.store().findAccount(ex.session->userId);
    return xml(XmlReply("authenticationinfo")
                   .record("info", {{"profile", account ? account->profile : ""},
                                    {"displayname", account ? account->profile : ""},
                                    {"email", account ? account->email : ""},
                                    {"authtype", "0"},
                                    {"isadmin", "0"}})
                   .str());
}

// ?file=<server path>: one "entry" record, or a refusal "command" record.
Reply TestServerRouter::fileInfo(Exchange& ex)
{
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("file"), path, refusal, "fileinfo")) return refusal;
    auto item = m_core.store().item(ex.session->userId, path);
    if (!item) return command("fileinfo", false, "File or folder not found");
    return xml(XmlReply("entries").record("entry", entryFields(*item)).str());
}

Reply TestServerRouter::accessDetails(Exchange& ex)
{
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("fullpath"), path, refusal, "getaccessdetailsforpath")) return refusal;
    auto rights = m_core.side().access(ex.session->userId, path);
    return xml(XmlReply("accessdetails")
                   .record("permission", {{"path", path},
                                          {"read", rights.first ? "1" : "0"},
                                          {"write", rights.second ? "1" : "0"},
                                          {"share", rights.second ? "1" : "0"},
                                          {"sync", rights.first ? "1" : "0"}})
                   .str());
}

// ?type=<type>: every list of that type ("" lists all).
Reply TestServerRouter::favoriteLists(Exchange& ex)
{
    std::string type = ex.field("type");
    XmlReply reply("favoritelists");
    for (const FavoriteList& list : m_core.side().favoriteLists(ex.session->userId))
        if (type.empty() || list.type == type)
            reply.record("favoritelist", {{"id", list.id},
                                          {"name", list.name},
                                          {"type", list.type},
                                          {"count", std::to_string(list.entries.size())}});
    return xml(reply.str());
}

// ?id=<list id>&fc=1: the entries of one list (none for an unknown id).
Reply TestServerRouter::favoritesInList(Exchange& ex)
{
    std::string id = ex.field("id");
    XmlReply reply("favorites");
    for (const FavoriteList& list : m_core.side().favoriteLists(ex.session->userId)) {
        if (list.id != id) continue;
        for (const auto& entry : list.entries) reply.record("entry", Fields(entry.begin(), entry.end()));
    }
    return xml(reply.str());
}

// remote_client_id=<id>: the client's pending commands.
Reply TestServerRouter::getRmcCommands(Exchange& ex)
{
    XmlReply reply("rmc_commands");
    for (const RmcCommand& c : m_core.side().pendingRmc(ex.field("remote_client_id")))
        reply.record("rmc_command", {{"rid", c.rid}, {"remote_command_id", c.commandId}, {"message", c.message}});
    return xml(reply.str());
}

// command_rids=<rid>#<rid>...&remote_client_id=<id>
Reply TestServerRouter::ackRmcCommands(Exchange& ex)
{
    const std::string type = "ackrmccommands";
    std::string rids = ex.field("command_rids");
    if (rids.empty()) return command(type, false, "No command ids given");
    Poco::StringTokenizer tokens(rids, "#");
    std::vector<std::string> list(tokens.begin(), tokens.end());
    int matched = m_core.side().acknowledgeRmc(ex.field("remote_client_id"), list);
    return command(type, true, std::to_string(matched) + " commands acknowledged");
}

namespace {

Reply pngReply(const std::string& bytes)
{
    Reply reply;
    reply.contentType = "image/png";
    reply.body = bytes;
    return reply;
}

} // namespace

// The logged-in account's picture.
Reply TestServerRouter::profileImage(Exchange& ex)
{
    return pngReply(m_core.side().profileImage(ex.session->userId));
}

// ?type=login: the picture of the login page; public, as the page is.
Reply TestServerRouter::customImage(Exchange& ex)
{
    if (ex.field("type") != "login") return xml(commandReply("getcustomimage", "0", "Unknown image type"), 404);
    return pngReply(m_core.side().loginImage());
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
