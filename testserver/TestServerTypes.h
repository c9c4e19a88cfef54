#pragma once

// Plain value types of the local Vaultpine test server: accounts, stored items,
// fault rules, recorded requests and the small records of its side state.
// They are copied in and out of the server; none of them holds a lock or a
// reference into the server, so a test may keep them as long as it likes.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

// Ordered name/value pairs: headers, query fields and form fields keep the
// order in which they came over the wire.
using Fields = std::vector<std::pair<std::string, std::string>>;

// One user account. Only userId and password are required; profile defaults
// to userId. The optional switches select the login flow the server answers.
struct TestAccount {
    std::string userId;   // the name sent as "userid" (compared case-insensitively)
    std::string password; // plain text; "/core/authenticateprofile" gets its SHA-1
    std::string profile;  // first segment of the account's own server paths ("/<profile>/...")
    std::string email;    // optional second login name (case-insensitive), e.g. "Ann@example.com"

    // Two-factor login: when set, a correct password login answers result "3" with
    // a fresh token, and "/core/2falogin" must then bring this code and that token.
    std::string twoFactorCode;

    // Device-code login ("dsc" field): the code that logs in. deviceCodeExpired
    // makes a matching code answer result "10" instead.
    std::string deviceCode;
    bool deviceCodeExpired = false;

    // Security question: when set, a correct password login answers result "2" with
    // the question as message; "/core/authenticateprofile" must then bring the
    // question, this answer and the SHA-1 hex of the password.
    std::string securityQuestion;
    std::string securityAnswer;

    // "/core/requestdeviceaccess" answers "2" (administrator must approve) when set,
    // else "1" (the user approves).
    bool adminApprovalRequired = false;

    // A blocked account cannot log in (every login flow answers "0") and has
    // no sessions.
    bool blocked = false;
};

// One file or folder as the server keeps it. Every write, rename, copy and
// delete bumps updateVersion (and sets updatePeer); creation sets both
// versions. A deleted item survives as a tombstone with deleted = true, so
// "what changed under this folder since version N" includes removals.
struct TestItem {
    std::string id;     // UUID text, stable across renames and overwrites
    int type = 1;       // 1 = file, 0 = folder
    std::string name;
    std::string parent; // server path of the containing folder, "/" for the top folders
    std::string fullPath;
    Poco::Int64 size = 0;
    Poco::Timestamp modified; // UTC
    Poco::Int64 createVersion = 0;
    Poco::Int64 updateVersion = 0;
    std::string createPeer;
    std::string updatePeer;
    bool deleted = false;
    std::string flags;        // sent as the sync record's "flags" ("SKIP": not synchronised)
    // The version at which the item came to its current path (its creation,
    // copy or the move that brought it there). The sync API leaves out
    // tombstones of items that came to their path after the client's status.
    Poco::Int64 pathVersion = 0;
};

// A fault applied to requests whose normalised path (no query) equals `path`,
// or starts with it when `path` ends in "*". Build one with the named makers
// below and adjust the public fields. Every wait it causes is bounded by its
// own delayMs and by the server's stop.
//
// A rule first lets `skip` matching requests pass untouched, then applies to
// the next `times` matching requests (-1: to all of them).
//
// Reply-replacing faults (status, body, redirect without Location) answer
// instead of the endpoint: the request body is still read and recorded, but
// the endpoint does not run (an upload stores nothing). Delivery faults (drop,
// truncate, no length, chunked) change how the reply, normal or replaced,
// travels. A delay happens after the request was read and before the reply.
struct TestFault {
    std::string path;
    int status = 0;          // non-zero: answer with this HTTP status
    bool replaceBody = false; // answer with `body` (status 200 unless `status` is set)
    std::string body;
    std::string contentType = "text/xml; charset=utf-8";
    bool redirectWithoutLocation = false; // 302 with no Location header
    int delayMs = 0;                      // wait this long before answering
    Poco::Int64 dropAfterBytes = -1;      // send only this many bytes of the raw reply (head included), then close
    Poco::Int64 truncateBodyAt = -1;      // announce the full length, send this many body bytes, then close
    bool omitContentLength = false;       // no Content-Length: the body ends when the connection closes
    bool chunkedEncoding = false;         // Transfer-Encoding: chunked instead of Content-Length
    Poco::Int64 chunkedCutAt = -1;        // chunked: send this many body bytes in one chunk, then close
                                          // without the last (zero-length) chunk
    Poco::Int64 announcedChunkSize = -1;  // with chunkedCutAt: the chunk announces this size instead
    Poco::Int64 announcedLength = -1;     // announce this Content-Length whatever the body, send the body, close
    Fields headers;                       // extra headers of a replaced reply, e.g. two Set-Cookie lines
    Poco::Int64 bytesPerSecond = 0;       // > 0: the request body is read and the reply body sent at
                                          // about this rate (in blocks of 8 KiB; a stop ends the wait)
    // Runs before the endpoint answers (on the server's thread, with no lock
    // of the server held): another party acting just then, for example
    // server.putFile of a colleague's edit before every folder list.
    std::function<void()> action;
    int skip = 0;
    int times = -1;

    static TestFault withStatus(const std::string& path, int status, const std::string& body = "");
    static TestFault withBody(const std::string& path, const std::string& body, int status = 200);
    static TestFault withDelay(const std::string& path, int delayMs);
    // Runs `action` before the endpoint answers; the reply is the endpoint's.
    static TestFault withAction(const std::string& path, std::function<void()> action);
    // Request and reply bodies of matching requests travel at about
    // bytesPerSecond (a slow link, for a stop or a change during a transfer).
    static TestFault throttled(const std::string& path, Poco::Int64 bytesPerSecond);
    static TestFault dropAfter(const std::string& path, Poco::Int64 bytes);
    static TestFault truncatedBody(const std::string& path, Poco::Int64 bytesSent);
    static TestFault redirectNoLocation(const std::string& path);
    static TestFault redirectTo(const std::string& path, const std::string& location);
    static TestFault noContentLength(const std::string& path);
    // Announces `length` as Content-Length, sends the reply's own body, then
    // closes (a length over a client's limit without sending that much).
    static TestFault withAnnouncedLength(const std::string& path, Poco::Int64 length);
    static TestFault chunked(const std::string& path);
    // A chunked reply that breaks off: "5\r\nhello\r\n" (bytesSent = 5), then close.
    static TestFault chunkedCut(const std::string& path, Poco::Int64 bytesSent);
    // A chunked reply whose only chunk announces more than it carries:
    // "400\r\nhello" (announced = 0x400, bytesSent = 5), then close.
    static TestFault chunkedShortChunk(const std::string& path, Poco::Int64 announced, Poco::Int64 bytesSent);
};

// One request exactly as the server received it.
struct RecordedRequest {
    Poco::UInt64 sequence = 0; // order of arrival over all listeners, from 1
    int listener = 0;          // 0 = main listener, 1 = download-redirect listener
    std::string method;
    std::string target;        // raw request target, absolute-form included
    std::string path;          // normalised path used for routing (no scheme, host or query)
    std::string query;         // raw query text after "?", may be empty
    std::string version;       // "HTTP/1.0" or "HTTP/1.1"
    Fields headers;            // in arrival order, names as sent
    std::string body;          // raw body, up to the server's record limit
    Poco::Int64 bodySize = 0;  // full body size in bytes
    bool bodyTruncated = false; // body holds only the first bytes
    int status = 0;            // status of the reply built (a dropped or cut reply may not have reached the client)

    // First value of the header (case-insensitive name), "" when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    // Query fields, percent-decoded, in order.
    Fields queryFields() const;
    // Fields of a form-encoded body, percent-decoded, in order.
    Fields formFields() const;
    // First value of a query or form field, "" when absent.
    std::string queryField(const std::string& name) const;
    std::string formField(const std::string& name) const;
};

// A remote-management command queued for one client installation.
struct RmcCommand {
    std::string rid;
    std::string clientId;
    std::string commandId; // e.g. "10000"
    std::string message;
    bool acknowledged = false;
};

// A lock held on a server path.
struct LockInfo {
    std::string path;
    std::string userId;
    bool readLock = false;
};

// A share link made by quick share.
struct ShareInfo {
    std::string id;
    std::string userId;
    std::string path;
    std::string url;
};

// One sync folder an account sees in the sync-folder list.
struct SyncFolder {
    std::string path;              // server path, e.g. "/user1" or "/SHARED/teamacct"
    bool teamFolder = false;       // listed with teamfolder "1" ...
    std::string teamFolderAccount; // ... and this owning account as teamfolderaccount
    bool skipDetect = false;       // listed with skipdetect "1"
};

// Server-wide switches of the sync API.
struct SyncOptions {
    // Most records in one delta reply (0: no limit). With a limit, the client
    // gets the changes in rounds: remotestatus differs from
    // remotefullstatusset until the last round.
    int pageSize = 0;
    std::string protocolVersion = "2"; // syncprotocolversion of deltas and syncversion of sync locks
    bool thousandsSeparators = false;  // delta numbers (numrecords, versions, size) written as "1,234"
    int lockTimeoutMs = 180000;        // a sync lock neither refreshed nor renewed for this long is free again
};

// A backup record posted after a backup run ("/app/backup/addbackuprecord").
struct BackupRecord {
    std::string userId;
    std::string clientId;    // remote_client_id
    std::string deviceName;  // device_name
    std::string setName;     // backup_set_name
    std::string localFolder; // backup_set_local_folder
    std::string fileStats;   // backup_set_filestats (the number of files uploaded)
    std::string sendEmail;   // send_email ("1" or "0")
};

// A favourite list with its entries (each entry a flat record of the server's keys).
struct FavoriteList {
    std::string id;
    std::string name;
    std::string type = "1";
    std::vector<std::map<std::string, std::string>> entries;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
