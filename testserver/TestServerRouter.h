#pragma once

// The endpoints of the test server. One Exchange per request goes in, one
// Reply comes out; the HTTP layer (TestServerHandler) records the request,
// applies faults and sends the reply. Endpoint bodies live by concern:
//
//   TestServerRouter.cpp     routing table, bare "/", shared reply helpers
//   TestServerLogin.cpp      login, two-factor login, device access, profile answer
//   TestServerInfo.cpp       status, plugins, authentication info, file info,
//                            access details, favourites, remote management,
//                            profile and login images
//   TestServerExplorer.cpp   explorer commands, lock, unlock, quick share, listing
//   TestServerTransfers.cpp  uploads (plain and in pieces) and downloads
//   TestServerSync.cpp       sync API: folder list, status sets, delta, recheck,
//                            skip upload, checksum, sync lock; backup record
//
// The router keeps no state of its own; it runs on the connection threads and
// reaches the server's state through TestServerCore, whose objects lock
// themselves.

#include "TestServerStore.h"
#include "TestServerTypes.h"

#include <Poco/Net/HTTPServerRequest.h>

#include <istream>
#include <memory>
#include <optional>
#include <string>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerCore;

struct Reply {
    int status = 200;
    std::string contentType = "text/xml; charset=utf-8";
    Fields headers; // added as they stand (Set-Cookie may repeat)
    std::string body;
    // A file body instead of `body`: the stream is opened when the reply is
    // built, so a later rename or delete of the item does not change it.
    std::shared_ptr<std::istream> file;
    Poco::Int64 fileOffset = 0;
    Poco::Int64 fileLength = 0;

    Poco::Int64 length() const { return file ? fileLength : static_cast<Poco::Int64>(body.size()); }
};

struct Exchange {
    Exchange(Poco::Net::HTTPServerRequest& request, std::istream& body, int listener, std::string path, Fields query)
        : request(request)
        , body(body)
        , listener(listener)
        , path(std::move(path))
        , query(std::move(query))
    {
    }

    Poco::Net::HTTPServerRequest& request;
    std::istream& body; // the request body, recorded as it is read
    int listener = 0;
    std::string path;
    Fields query;
    std::optional<TestSession> session;

    // Form fields of a url-encoded body (read once, on first use).
    const Fields& form();
    // A form field, else a query field, "" when absent.
    std::string field(const std::string& name);
    bool has(const std::string& name);

private:
    std::optional<Fields> m_form;
};

class TestServerRouter {
public:
    explicit TestServerRouter(TestServerCore& core);

    // Answers the request; never throws (a failure becomes a 500 reply).
    Reply route(Exchange& ex);

private:
    using Endpoint = Reply (TestServerRouter::*)(Exchange&);

    // TestServerRouter.cpp
    Reply root(Exchange& ex);
    Reply webPage(Exchange& ex);
    // Resolves a client path for the session's account; false with a refusal reply.
    bool resolve(Exchange& ex, const std::string& raw, std::string& path, Reply& refusal,
                 const std::string& commandType);
    bool mayWrite(Exchange& ex, const std::string& path, Reply& refusal, const std::string& commandType);
    std::string peerOf(const Exchange& ex) const;
    std::string profileOf(const Exchange& ex) const;
    static Reply xml(const std::string& body, int status = 200);
    static Reply command(const std::string& type, bool ok, const std::string& message);
    static Fields entryFields(const TestItem& item);
    // Gzip-compresses the reply body when the request's Accept-Encoding names gzip.
    static void compressIfAccepted(Exchange& ex, Reply& reply);

    // TestServerLogin.cpp
    Reply loginGuest(Exchange& ex);
    Reply twoFactorLogin(Exchange& ex);
    Reply requestDeviceAccess(Exchange& ex);
    Reply authenticateProfile(Exchange& ex);
    Reply loginSucceeded(Exchange& ex, const TestAccount& account, const std::string& type);

    // TestServerInfo.cpp
    Reply systemStatus(Exchange& ex);
    Reply pluginList(Exchange& ex);
    Reply authenticationInfo(Exchange& ex);
    Reply fileInfo(Exchange& ex);
    Reply accessDetails(Exchange& ex);
    Reply favoriteLists(Exchange& ex);
    Reply favoritesInList(Exchange& ex);
    Reply getRmcCommands(Exchange& ex);
    Reply ackRmcCommands(Exchange& ex);
    Reply profileImage(Exchange& ex);
    Reply customImage(Exchange& ex);

    // TestServerExplorer.cpp
    Reply fileExists(Exchange& ex);
    Reply createFolder(Exchange& ex);
    Reply deleteFile(Exchange& ex);
    Reply renameFile(Exchange& ex);
    Reply copyFile(Exchange& ex);
    Reply renameOrMove(Exchange& ex);
    Reply lock(Exchange& ex);
    Reply unlock(Exchange& ex);
    Reply quickShare(Exchange& ex);
    Reply fileList(Exchange& ex);

    // TestServerTransfers.cpp
    Reply upload(Exchange& ex);
    Reply downloadFile(Exchange& ex);
    Reply redirectedDownload(Exchange& ex);
    Reply serveFile(Exchange& ex, const std::string& userId, const std::string& path);

    // TestServerSync.cpp
    Reply syncFolderList(Exchange& ex);
    Reply syncFolderStatusSet(Exchange& ex);
    Reply syncDelta(Exchange& ex);
    Reply recheckRecord(Exchange& ex);
    Reply skipUpload(Exchange& ex);
    Reply checksum(Exchange& ex);
    Reply syncLock(Exchange& ex);
    Reply syncUnlock(Exchange& ex);
    Reply refreshLock(Exchange& ex);
    Reply addBackupRecord(Exchange& ex);

    struct Route {
        Endpoint endpoint;
        bool needsSession;
        int listener;
    };
    const Route* find(const std::string& path, int listener) const;

    TestServerCore& m_core;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
