#include "TestServerRouter.h"

#include "TestServerCore.h"
#include "TestServerWire.h"

#include <Poco/DeflatingStream.h>
#include <Poco/Exception.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>

#include <map>
#include <sstream>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// --- Exchange ----------------------------------------------------------------

const Fields& Exchange::form()
{
    if (!m_form) {
        std::string text;
        if (request.getContentType().find("application/x-www-form-urlencoded") != std::string::npos)
            Poco::StreamCopier::copyToString(body, text);
        m_form = parseFields(text);
    }
    return *m_form;
}

std::string Exchange::field(const std::string& name)
{
    if (hasField(form(), name)) return fieldValue(form(), name);
    return fieldValue(query, name);
}

bool Exchange::has(const std::string& name)
{
    return hasField(form(), name) || hasField(query, name);
}

// --- Routing -----------------------------------------------------------------

TestServerRouter::TestServerRouter(TestServerCore& core)
    : m_core(core)
{
}

const TestServerRouter::Route* TestServerRouter::find(const std::string& path, int listener) const
{
    static const std::map<std::string, Route> routes = {
        {"/", {&TestServerRouter::root, false, 0}},
        {"/ui/core/index.html", {&TestServerRouter::webPage, false, 0}},
        {"/core/loginguest", {&TestServerRouter::loginGuest, false, 0}},
        {"/core/2falogin", {&TestServerRouter::twoFactorLogin, false, 0}},
        {"/core/requestdeviceaccess", {&TestServerRouter::requestDeviceAccess, false, 0}},
        {"/core/authenticateprofile", {&TestServerRouter::authenticateProfile, false, 0}},
        {"/core/getsystemstatus", {&TestServerRouter::systemStatus, true, 0}},
        {"/core/getpluginlaunchlist", {&TestServerRouter::pluginList, true, 0}},
        {"/core/getauthenticationinfo", {&TestServerRouter::authenticationInfo, true, 0}},
        {"/core/fileinfo", {&TestServerRouter::fileInfo, true, 0}},
        {"/core/getaccessdetailsforpath", {&TestServerRouter::accessDetails, true, 0}},
        {"/core/getallfavoritelists", {&TestServerRouter::favoriteLists, true, 0}},
        {"/core/getfavoritesinlist", {&TestServerRouter::favoritesInList, true, 0}},
        {"/core/getrmccommands", {&TestServerRouter::getRmcCommands, true, 0}},
        {"/core/ackrmccommands", {&TestServerRouter::ackRmcCommands, true, 0}},
        {"/app/explorer/fileexists", {&TestServerRouter::fileExists, true, 0}},
        {"/app/explorer/createfolder", {&TestServerRouter::createFolder, true, 0}},
        {"/app/explorer/deletefile", {&TestServerRouter::deleteFile, true, 0}},
        {"/app/explorer/renamefile", {&TestServerRouter::renameFile, true, 0}},
        {"/app/explorer/copyfile", {&TestServerRouter::copyFile, true, 0}},
        {"/app/explorer/renameormove", {&TestServerRouter::renameOrMove, true, 0}},
        {"/core/lock", {&TestServerRouter::lock, true, 0}},
        {"/core/unlock", {&TestServerRouter::unlock, true, 0}},
        {"/app/bramblelink/quickshare", {&TestServerRouter::quickShare, true, 0}},
        {"/core/getfilelist", {&TestServerRouter::fileList, true, 0}},
        {"/upload", {&TestServerRouter::upload, true, 0}},
        {"/core/downloadfile", {&TestServerRouter::downloadFile, true, 0}},
        {"/core/getprofileimage", {&TestServerRouter::profileImage, true, 0}},
        {"/core/getcustomimage", {&TestServerRouter::customImage, false, 0}},
        {"/app/sync/getsyncfolderlist", {&TestServerRouter::syncFolderList, true, 0}},
        {"/app/sync/getsyncfolderstatusset", {&TestServerRouter::syncFolderStatusSet, true, 0}},
        {"/app/sync/getsyncdelta", {&TestServerRouter::syncDelta, true, 0}},
        {"/app/sync/recheckrecord", {&TestServerRouter::recheckRecord, true, 0}},
        {"/app/sync/skipupload", {&TestServerRouter::skipUpload, true, 0}},
        {"/app/sync/getchecksum", {&TestServerRouter::checksum, true, 0}},
        {"/app/sync/lock", {&TestServerRouter::syncLock, true, 0}},
        {"/app/sync/unlock", {&TestServerRouter::syncUnlock, true, 0}},
        {"/app/sync/refreshlock", {&TestServerRouter::refreshLock, true, 0}},
        {"/app/backup/addbackuprecord", {&TestServerRouter::addBackupRecord, true, 0}},
    };
    static const Route redirected{&TestServerRouter::redirectedDownload, false, 1};

    if (listener == 1) return path.compare(0, 10, "/download/") == 0 ? &redirected : nullptr;
    auto it = routes.find(path);
    return it == routes.end() ? nullptr : &it->second;
}

Reply TestServerRouter::route(Exchange& ex)
{
    const Route* route = find(ex.path, ex.listener);
    if (!route) return xml(commandReply("unknown", "0", "Unknown request " + ex.path), 404);
    if (route->needsSession && !ex.session) {
        // The transfer and image endpoints answer 401 like a web server
        // would; the XML API answers 200 with the refusal record (see README).
        bool transfer = ex.path == "/upload" || ex.path == "/core/downloadfile" || ex.path == "/core/getprofileimage";
        return xml(authFailedReply(), transfer ? 401 : 200);
    }
    try {
        return (this->*(route->endpoint))(ex);
    } catch (Poco::Exception& e) {
        return xml(commandReply("error", "0", "Server error: " + e.displayText()), 500);
    } catch (std::exception& e) {
        return xml(commandReply("error", "0", std::string("Server error: ") + e.what()), 500);
    }
}

// --- Bare "/" and the web page -------------------------------------------------

Reply TestServerRouter::root(Exchange& ex)
{
    std::string location = m_core.side().rootRedirect();
    if (location.empty()) return webPage(ex);
    Reply reply;
    reply.status = 302;
    reply.contentType = "text/html";
    reply.headers.emplace_back("Location", location);
    reply.body = "<html><body>Moved</body></html>\n";
    return reply;
}

Reply TestServerRouter::webPage(Exchange&)
{
    Reply reply;
    reply.contentType = "text/html";
    reply.body = "<html><head><title>Vaultpine</title></head><body>Vaultpine test server</body></html>\n";
    return reply;
}

// --- Shared helpers ------------------------------------------------------------

bool TestServerRouter::resolve(Exchange& ex, const std::string& raw, std::string& path, Reply& refusal,
                               const std::string& commandType)
{
    std::string error;
    if (m_core.store().resolve(ex.session->userId, raw, path, error)) return true;
    refusal = command(commandType, false, error);
    return false;
}

bool TestServerRouter::mayWrite(Exchange& ex, const std::string& path, Reply& refusal, const std::string& commandType)
{
    if (m_core.side().access(ex.session->userId, path).second) return true;
    refusal = command(commandType, false, "Permission denied");
    return false;
}

std::string TestServerRouter::peerOf(const Exchange& ex) const
{
    if (!ex.session) return "testserver";
    return ex.session->clientId.empty() ? ex.session->userId : ex.session->clientId;
}

std::string TestServerRouter::profileOf(const Exchange& ex) const
{
    auto account = m_core.store().findAccount(ex.session->userId);
    return account ? account->profile : "";
}

Reply TestServerRouter::xml(const std::string& body, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

Reply TestServerRouter::command(const std::string& type, bool ok, const std::string& message)
{
    return xml(commandReply(type, ok ? "1" : "0", message));
}

Fields TestServerRouter::entryFields(const TestItem& item)
{
    bool folder = item.type == 0;
    std::string ext;
    std::size_t dot = item.name.rfind('.');
    if (!folder && dot != std::string::npos && dot > 0) ext = item.name.substr(dot + 1);
    std::string epoch = std::to_string(item.modified.epochTime());
    return {{"path", item.fullPath},
            {"dirpath", joinServerPath(item.parent, "")},
            {"name", item.name},
            {"ext", ext},
            {"fullfilename", item.fullPath},
            {"type", folder ? "dir" : "file"},
            {"size", folder ? "" : std::to_string(item.size)},
            {"fullsize", folder ? "0" : std::to_string(item.size)},
            {"modified", sortableTime(item.modified)},
            {"modifiedepoch", epoch},
            {"isroot", item.parent == "/" ? "1" : "0"},
            {"canupload", "1"},
            {"canrename", item.parent == "/" ? "0" : "1"},
            {"candownload", folder ? "0" : "1"}};
}

void TestServerRouter::compressIfAccepted(Exchange& ex, Reply& reply)
{
    std::string accept = Poco::toLower(ex.request.get("Accept-Encoding", ""));
    if (accept.find("gzip") == std::string::npos) return;
    std::ostringstream packed;
    Poco::DeflatingOutputStream deflater(packed, Poco::DeflatingStreamBuf::STREAM_GZIP);
    deflater << reply.body;
    deflater.close();
    reply.body = packed.str();
    reply.headers.emplace_back("Content-Encoding", "gzip");
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
