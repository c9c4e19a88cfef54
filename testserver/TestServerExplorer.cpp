// Explorer commands, locks, quick share and the folder listing of the test
// server. Every command answers one "command" record: result "1" when done,
// "0" with the reason as message.

#include "TestServerCore.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// file=<path>: result "1" with message "1" (exists) or "0" (does not).
Reply TestServerRouter::fileExists(Exchange& ex)
{
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("file"), path, refusal, "fileexists")) return refusal;
    bool exists = path == "/" || m_core.store().item(ex.session->userId, path).has_value();
    return xml(commandReply("fileexists", "1", exists ? "1" : "0"));
}

// path=<parent>&name=<folder name>: one folder level inside an existing folder.
Reply TestServerRouter::createFolder(Exchange& ex)
{
    const std::string type = "createfolder";
    std::string parent, error;
    Reply refusal;
    if (!resolve(ex, ex.field("path"), parent, refusal, type)) return refusal;
    if (!mayWrite(ex, parent, refusal, type)) return refusal;
    bool ok = m_core.store().createFolder(ex.session->userId, parent, ex.field("name"), peerOf(ex), error);
    return command(type, ok, ok ? "" : error);
}

// path=<parent>&name=<name>: deletes a file or a folder with its content.
Reply TestServerRouter::deleteFile(Exchange& ex)
{
    const std::string type = "deletefile";
    std::string path, error;
    Reply refusal;
    if (!resolve(ex, joinServerPath(ex.field("path"), ex.field("name")), path, refusal, type)) return refusal;
    if (!mayWrite(ex, path, refusal, type)) return refusal;
    bool ok = m_core.store().remove(ex.session->userId, path, peerOf(ex), error);
    return command(type, ok, ok ? "" : error);
}

// path=<parent>&name=<name>&newname=<new name>: rename inside the same folder.
Reply TestServerRouter::renameFile(Exchange& ex)
{
    const std::string type = "renamefile";
    std::string newName = ex.field("newname");
    if (newName.empty() || newName.find('/') != std::string::npos) return command(type, false, "Invalid name");
    std::string from, to, error;
    Reply refusal;
    if (!resolve(ex, joinServerPath(ex.field("path"), ex.field("name")), from, refusal, type)) return refusal;
    if (!resolve(ex, joinServerPath(ex.field("path"), newName), to, refusal, type)) return refusal;
    if (!mayWrite(ex, from, refusal, type)) return refusal;
    bool ok = m_core.store().move(ex.session->userId, from, to, false, peerOf(ex), error);
    return command(type, ok, ok ? "" : error);
}

// path=<parent>&name=<name>&copyto=<target>: copies into `target` when it is an
// existing folder, else to the path `target` itself.
Reply TestServerRouter::copyFile(Exchange& ex)
{
    const std::string type = "copyfile";
    std::string from, to, error;
    Reply refusal;
    if (!resolve(ex, joinServerPath(ex.field("path"), ex.field("name")), from, refusal, type)) return refusal;
    if (!resolve(ex, ex.field("copyto"), to, refusal, type)) return refusal;
    auto target = m_core.store().item(ex.session->userId, to);
    if (target && target->type == 0) to = joinServerPath(to, lastSegment(from));
    if (!mayWrite(ex, to, refusal, type)) return refusal;
    bool ok = m_core.store().copy(ex.session->userId, from, to, false, peerOf(ex), error);
    return command(type, ok, ok ? "" : error);
}

// fromname=<path>&toname=<path>[&overwrite=1]
Reply TestServerRouter::renameOrMove(Exchange& ex)
{
    const std::string type = "renameormove";
    std::string from, to, error;
    Reply refusal;
    if (!resolve(ex, ex.field("fromname"), from, refusal, type)) return refusal;
    if (!resolve(ex, ex.field("toname"), to, refusal, type)) return refusal;
    if (!mayWrite(ex, from, refusal, type) || !mayWrite(ex, to, refusal, type)) return refusal;
    bool ok = m_core.store().move(ex.session->userId, from, to, ex.field("overwrite") == "1", peerOf(ex), error);
    return command(type, ok, ok ? "" : error);
}

// path=<path>&readlock=<n>: the item must exist; a lock of another user refuses.
Reply TestServerRouter::lock(Exchange& ex)
{
    const std::string type = "lock";
    std::string path, error;
    Reply refusal;
    if (!resolve(ex, ex.field("path"), path, refusal, type)) return refusal;
    if (!m_core.store().item(ex.session->userId, path)) return command(type, false, "File or folder not found");
    LockInfo info{path, ex.session->userId, ex.field("readlock") != "0" && !ex.field("readlock").empty()};
    bool ok = m_core.side().lock(info, error);
    return command(type, ok, ok ? "" : error);
}

// path=<path>: releases the caller's own lock.
Reply TestServerRouter::unlock(Exchange& ex)
{
    const std::string type = "unlock";
    std::string path, error;
    Reply refusal;
    if (!resolve(ex, ex.field("path"), path, refusal, type)) return refusal;
    bool ok = m_core.side().unlock(ex.session->userId, path, error);
    return command(type, ok, ok ? "" : error);
}

// sharelocation=<path>: one "share" record (the same share on every call).
Reply TestServerRouter::quickShare(Exchange& ex)
{
    const std::string type = "quickshare";
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("sharelocation"), path, refusal, type)) return refusal;
    if (!m_core.store().item(ex.session->userId, path)) return command(type, false, "File or folder not found");
    ShareInfo share = m_core.side().share(ex.session->userId, path, m_core.baseUrl());
    return xml(XmlReply("shares")
                   .record("share", {{"shareid", share.id},
                                     {"shareurl", share.url},
                                     {"sharelocation", share.path},
                                     {"viewmode", "0"}})
                   .str());
}

// path=<folder>&showhidden=<n>[&fc=1]: a "meta" record and one "entry" per
// child. The reply is gzip-compressed when the request accepts gzip.
Reply TestServerRouter::fileList(Exchange& ex)
{
    std::string path;
    Reply refusal;
    if (!resolve(ex, ex.field("path"), path, refusal, "getfilelist")) return refusal;
    const std::string& user = ex.session->userId;
    if (path != "/") {
        auto folder = m_core.store().item(user, path);
        if (!folder || folder->type != 0) return command("getfilelist", false, "Folder not found");
    }
    std::vector<TestItem> items = m_core.store().children(user, path);
    XmlReply listing("entries");
    listing.record("meta", {{"total", std::to_string(items.size())},
                            {"realpath", path},
                            {"isroot", path == "/" ? "1" : "0"},
                            {"canupload", m_core.side().access(user, path).second ? "1" : "0"}});
    for (const TestItem& item : items) listing.record("entry", entryFields(item));
    Reply reply = xml(listing.str());
    compressIfAccepted(ex, reply);
    return reply;
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
