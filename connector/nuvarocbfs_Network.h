#pragma once

// Nuvaro::NuvaroConnector, the program's synchronous client of the server's
// HTTP(S) API, and the two TLS callback handlers.
//
// Where the code lives:
//   nuvarocbfs_Network.cpp             the object, its state accessors, request heads
//                                      (createGetMessage, createPostMessage,
//                                      prepareHTTPRequest) and the request procedure
//                                      (runRequest, runExchange and their steps)
//   nuvarocbfs_Network_TLS.cpp         initSSL and the TLS handler classes
//   nuvarocbfs_Network_Login.cpp       Authenticate and the login flows
//   nuvarocbfs_Network_ServerInfo.cpp  server information requests and detectLan
//   nuvarocbfs_Network_Explorer.cpp    remote file operations (exists, create, delete,
//                                      rename, copy, rename-or-move)
//   nuvarocbfs_Network_RMC.cpp         remote-management commands: fetch and acknowledge
//   nuvarocbfs_Network_LockShare.cpp   lock, unlock and quick share
//   nuvarocbfs_Network_Listing.cpp     folder listing (getFileList, getFileListStr)
//   nuvarocbfs_Request.h               RequestSpec and Reply, the tables a request
//                                      hands to the procedure
//   nuvarocbfs_TransferText.cpp        text helpers of the transfers (speed, names, dates)
//   nuvarocbfs_Network_Transfer.cpp    the frame shared by downloads and uploads
//   nuvarocbfs_Network_Download.cpp    downloadFile, downloadToFile, saveResponseToFile
//   nuvarocbfs_ChunkedBody.cpp         the reader of chunked reply bodies that checks
//                                      their framing (downloads and every request)
//   nuvarocbfs_Network_Upload.cpp      uploadFile, chunkedUploadFile, getCurrentUploadList
//   nuvarocbfs_LocalFileVersion.cpp    LocalFileVersion, the version of a file an upload sent
//   nuvarocbfs_LargeFile.cpp           copyStream64 and the large-file seek helpers
//
// Adding a request: fill a RequestSpec (path, method, fields, timeout, record
// name, gate text; postSpec makes the usual form POST), call runRequest, then
// apply a result rule to the Reply (commandResult with a CommandRule for
// "command" replies, or runCommand for both steps; recordsResult for record
// lists; failureReason when the caller needs a reason for every failure).

#include "nuvarocbfs_Defs.h"
#include "nuvarocbfs_LargeFile.h"
#include "nuvarocbfs_LocalFileVersion.h"
#include "nuvarocbfs_Request.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/Mutex.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPCookie.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/InvalidCertificateHandler.h>
#include <Poco/Net/PrivateKeyPassphraseHandler.h>
#include <Poco/Stopwatch.h>
#include <Poco/Timespan.h>
#include <Poco/Types.h>
#include <Poco/URI.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Nuvaro {

// Answers the TLS layer's request for a private key's passphrase.
class NuvaroConnectorClientPrivateKeyResponseHandler : public Poco::Net::PrivateKeyPassphraseHandler {
public:
    explicit NuvaroConnectorClientPrivateKeyResponseHandler(bool onServerSide);
    ~NuvaroConnectorClientPrivateKeyResponseHandler() override;
    // Always answers the fixed passphrase "pindle".
    void onPrivateKeyRequested(const void* sender, std::string& passphrase) override;
};

// Answers a certificate that failed verification. It never accepts one: the
// error is logged and the handshake fails, so the request that made the
// session fails cleanly.
class NuvaroConnectorCertificateHandler : public Poco::Net::InvalidCertificateHandler {
public:
    explicit NuvaroConnectorCertificateHandler(bool onServerSide);
    ~NuvaroConnectorCertificateHandler() override;
    void onInvalidCertificate(const void* sender, Poco::Net::VerificationErrorArgs& errorArgs) override;
};

// The server API client. Each component (and each transfer slot) creates its
// own connector from the settings map, logs in through Authenticate and then
// issues requests. Every request opens a new HTTP or HTTPS session and closes
// it when it ends; nothing is retried.
//
// Threads: a connector is used by one thread at a time; its login state,
// cookies, last error and LAN fields have no lock. The only exception is the
// upload-progress map, guarded by m_uploadProgressMutex.
//
// Failures: operations return false (or leave their output untouched) and may
// keep a text for getLastError(); no exception leaves an operation.
class NuvaroConnector {
public:
    // config: element 0 is the settings map ("url", "profile", login and proxy
    // keys); the list is copied, its maps shared. registerStreamFactories: make
    // sure the HTTP and FTP URI stream factories are registered (once per
    // process; a factory that someone else registered already is fine).
    NuvaroConnector(RecordList config, bool registerStreamFactories, std::string userAgent);
    ~NuvaroConnector();
    NuvaroConnector(const NuvaroConnector&) = delete;
    NuvaroConnector& operator=(const NuvaroConnector&) = delete;

    // ---- TLS (nuvarocbfs_Network_TLS.cpp) ----

    // Sets up the process-wide default TLS client context once, at start-up,
    // before any connector exists. tlsLevel "TLSV1_2_CLIENT_USE" or
    // "TLSV1_1_CLIENT_USE" select those levels; any other text TLSV1_CLIENT_USE.
    // Only verifyMode "VERIFY_NONE" turns certificate verification off; any
    // other text verifies strictly. "clientcert.pem" (client certificate) and
    // "clientca.pem" (trusted CAs) are read from the working directory; when
    // the certificate is missing or unreadable the context is built without
    // one, when the CA file is missing or unreadable the system's CA store is
    // used instead. Both cases are logged as errors; nothing is thrown.
    static void initSSL(const std::string& tlsLevel, const std::string& verifyMode);
    static Poco::Net::Context::Usage tlsUsageFor(const std::string& tlsLevel);
    static Poco::Net::Context::VerificationMode verificationModeFor(const std::string& verifyMode);

    // ---- State ----

    bool isAuthenticated() const { return m_authenticated; }
    bool isBadLogin() const { return m_badLogin; }
    bool is2FARequired() const { return m_2FARequired; }
    bool isDevAuthCodeRequired() const { return m_devAuthCodeRequired; }
    bool isDevAuthSessionTimeout() const { return m_devAuthSessionTimeout; }
    bool isDevAuthInvalidCode() const { return m_devAuthInvalidCode; }
    bool isAdminApprovalRequired() const { return m_adminApprovalRequired; }

    // Returns the last error and empties it and the error class.
    std::string getLastError();
    // Returns the class name of the exception that ended the last login
    // attempt and empties it; the error text stays.
    std::string getLastErrorClass();

    // Back to the logged-out state without configuration: flags (except the
    // admin-approval flag), cookies, LAN address and settings are dropped; the
    // last error, its class and the two-factor token stay. A later
    // Authenticate fails until a new connector is made.
    void resetSession();

    // The server's base URL: the LAN address when LAN detection found one,
    // else "url" of the settings map ("" when absent).
    std::string getServerURI() const;

    // Fill a request head: method, "User-Agent", "Device-Info" (the POST form
    // ends in an encoded line feed), the URI, then the session cookies (no
    // "Cookie" header at all when there are none). Neither checks the login.
    void createGetMessage(Poco::Net::HTTPRequest& request, const std::string& uri);
    void createPostMessage(Poco::Net::HTTPRequest& request, const std::string& uri);
    // For requests built elsewhere: false and the request untouched when not
    // logged in; else sets the headers and cookies of createGetMessage,
    // leaving method, URI and version as they are.
    bool prepareHTTPRequest(Poco::Net::HTTPRequest& request);

    // Caps every request's timeout (tests use this against a stalling server;
    // zero, the default, leaves each request's own timeout).
    void setTimeoutLimit(const Poco::Timespan& limit) { m_timeoutLimit = limit; }

    // Lets hook cut this connector's requests and transfers short (null, the
    // default: none), so that its owner's stop never waits for a server that
    // stalls. Every request and transfer of this connector that brings no
    // hook of its own (RequestSpec::cancelHook) registers its session with
    // it: before the head is sent nothing goes out once the hook refuses;
    // afterwards (sending a body, waiting for the reply head, reading the
    // body) the owner's cancel shuts the socket down and the call fails at
    // once, logged at debug level only, with reply outcome Canceled for a
    // request and the error text "Canceled by user" for a transfer.
    // Connecting is not interrupted: while a hook is set, a connection
    // attempt gives up after CANCELLABLE_CONNECT_SECONDS (or the request's
    // own timeout when that is shorter). The hook must outlive every call
    // made while it is set; copyForRequests does not copy it.
    void setCancelHook(RequestCancelHook* hook) { m_cancelHook = hook; }
    static const int CANCELLABLE_CONNECT_SECONDS = 10;
    // The error text of a transfer that a stop ended.
    static const char* const TRANSFER_CANCELED_ERROR;

    // ---- Login (nuvarocbfs_Network_Login.cpp) ----

    // Logs in with the password, or with the device code when "loginmode" is
    // a non-zero integer. False at once with an empty configuration. After a
    // false result the is...() flags and getLastError() tell why.
    bool Authenticate(bool unused = false);
    bool doGuestLogin();
    // Sends the two-factor code with the token of the guest login that
    // answered "3".
    bool do2FAVerification(const std::string& code);
    // Asks the server to authorise this device; true when it was accepted for
    // approval (isAdminApprovalRequired tells by whom).
    bool requestDeviceAccess();
    // Reads the reply of a login request already sent on session; answers a
    // security question (result "2") through doRemoteLogin, at most
    // kMaxSecurityQuestionRounds times in a row. Returns isAuthenticated().
    bool parseLoginResponse(Poco::Net::HTTPClientSession* session);
    bool doRemoteLogin(const std::string& question);
    // SHA-1 of the text's bytes as 40 lower-case hexadecimal characters.
    static std::string getSHA1Hash(const std::string& text);

    static constexpr int kMaxSecurityQuestionRounds = 3;

    // ---- Server information (nuvarocbfs_Network_ServerInfo.cpp) ----
    //
    // Records requests replace the output list only when the server answered
    // with records; a non-2xx status or a refusing "command" record is a
    // failure with the server's message as the last error, and the output is
    // left as it was.

    // Status 200 only. requireAuth false sends the request even when logged out.
    bool getServerStatus(RecordList& status, bool requireAuth);
    // Exactly one "info" record; profileDiffers: its "profile" differs (byte
    // for byte) from the configured "profile".
    bool getAuthenticationInfo(bool& profileDiffers);
    // Exactly one "entry" record; entry then shares it.
    bool getFileInfo(const std::string& path, Record& entry);
    bool getAccessDetailsForPath(const std::string& path, RecordList& permissions);
    bool getFavoritesInList(const std::string& id, RecordList& entries);
    bool getAllFavoriteLists(const std::string& type, RecordList& lists);
    bool getInstalledPluginList(RecordList& plugins);
    // Asks "/" of the server; a 302 to an absolute http(s) address makes that
    // address the base of every later request. Never moves an HTTPS server to
    // plain HTTP. Reports nothing.
    void detectLan();

    // ==== Commands, remote management, lock and share, listing ====
    //
    // Remote file operations (nuvarocbfs_Network_Explorer.cpp). Each empties
    // the last error first and returns true when the server reports result
    // "1". False when not logged in (nothing sent), on a refusal (the server's
    // message is then the last error), on a reply without exactly one
    // "command" record, and on a network or XML error (only logged). Values
    // are sent encoded, so "/", "&", "=" or "+" in a path arrive intact.

    // True when an item exists at the full server path. False with an EMPTY
    // last error means the server said it is absent; false with a last error
    // means the question could not be answered (not logged in, network error,
    // refusal, unexpected reply), which callers must not take for "absent".
    bool remoteFileExists(const std::string& path);
    // Creates the folder name inside parentPath (one level).
    bool createRemoteFolder(const std::string& name, const std::string& parentPath);
    // Deletes the file or folder name inside parentPath.
    bool deleteRemoteFile(const std::string& parentPath, const std::string& name);
    // Renames name inside parentPath to newName, in the same folder. Sent as
    // HTTP/1.0 with the HTTP library's default timeout.
    bool renameRemoteFile(const std::string& parentPath, const std::string& name, const std::string& newName);
    // Copies name of parentPath to the destination copyTo.
    bool copyRemoteFile(const std::string& parentPath, const std::string& name, const std::string& copyTo);
    // Renames or moves fromName to toName; overwrite adds "overwrite=1".
    bool renameOrMoveRemoteFile(const std::string& fromName, const std::string& toName, bool overwrite);

    // Remote-management commands (nuvarocbfs_Network_RMC.cpp) of the client
    // id "RMC_CLIENT_ID". Every false result leaves its reason for
    // getLastError().

    // Fetches, then acknowledges what was fetched. commands holds the fetched
    // records even when the acknowledgement fails; a failed fetch leaves it
    // as it was and acknowledges nothing.
    bool getAndAckRmcCommands(RecordList& commands);
    // Replaces commands with the queued "rmc_command" records (possibly
    // none). A refusal or an error status is a failure, not "no commands".
    bool getRmcCommands(RecordList& commands);
    // Acknowledges the records by their "rid"s joined with "#". An empty list
    // is true at once, without a request.
    bool ackRmcCommands(const RecordList& commands);

    // Lock and share (nuvarocbfs_Network_LockShare.cpp). None of them empties
    // the last error first.

    // Locks a server file (readLock sent in decimal); true on result "1". A
    // refusal leaves the server's message as the last error and logs nothing
    // at error level: the caller reports getLastError().
    bool lockFile(const std::string& path, int readLock);
    // Unlocks a server file; as lockFile.
    bool unlockFile(const std::string& path);
    // Asks for a share of a server path: true once the reply is parsed, with
    // shares replaced by its "share" records (possibly none; the link is in
    // "shareurl"). False, shares untouched, when not logged in or on a
    // network or XML error.
    bool quickShare(const std::string& path, RecordList& shares);

    // Listing of one server folder (nuvarocbfs_Network_Listing.cpp). The
    // reason of a failure goes to error; the last error is not touched.
    // showHidden is sent in decimal; fc true adds "fc=1".

    // True when a complete 2xx reply was parsed: entries and metaRecords are
    // then replaced by its "entry" and "meta" records (each may be empty, an
    // empty folder). A non-2xx status, a refusing "command" record, a reply
    // cut short or not XML, or a network error is false with error set and
    // both lists untouched, so that no caller takes a failure for an empty
    // folder.
    bool getFileList(const std::string& path, RecordList& entries, RecordList& metaRecords, std::string& error,
                     int showHidden, bool fc);
    // The same request; xml receives the whole (inflated) reply body of a
    // complete 2xx reply.
    bool getFileListStr(const std::string& path, std::string& xml, std::string& error, int showHidden, bool fc);

    // ==== End of commands, remote management, lock and share, listing ====

    // ---- Transfer text (nuvarocbfs_TransferText.cpp) ----

    // The speed of a transfer as text for the logs: the value as a double in the
    // stream's default format followed by " Bytes/s", " KB/s", " MB/s" or
    // " GB/s". The unit follows the byte count alone (more than 2^30-1 bytes is
    // GB, more than 2^20-1 MB, less than 1024 Bytes, otherwise KB), so 1048575
    // bytes in one second read "1024 KB/s". microseconds must be greater than 0.
    static std::string getPrintableSpeedValue(Poco::UInt64 bytes, Poco::UInt64 microseconds);

    // The request procedure for callers that judge the reply and handle
    // failures themselves (the sync worker's and the jobs' own requests):
    // session (HTTPS for an "https" server, the given timeoutSeconds, the
    // settings' proxy), head with the login cookies, body and reply as for the
    // connector's own requests, then reply.response holds the head and
    // reply.body the whole body (or spec.readBody read it), with outcome
    // Parsed. There is no login gate (check isAuthenticated first), no status
    // rule and no parse. Every failure is thrown to the caller: a proxy port
    // that is not a number from 1 to 65535 (Poco::InvalidArgumentException,
    // nothing sent), a server URL without a host, network errors and
    // time-outs, a body cut short (Poco::Net::MessageException).
    // spec.cancelHook (or, without one, the connector's hook of setCancelHook),
    // when set, sees the session from before the request is
    // sent until the exchange ends: when it refuses (the caller's stop),
    // exchange returns with outcome Canceled, having sent nothing or without
    // waiting for the reply; a socket it shut down meanwhile makes the wait
    // throw like any network error. spec.setupSession replaces the proxy
    // set-up from the connector's settings.
    void exchange(const RequestSpec& spec, Reply& reply);

    // A connector for another thread's exchange calls: copies of this one's
    // settings, user agent, server address (LAN address included), login
    // state with its cookies and time-out limit, and nothing else. It shares
    // no state with this connector, which may log out or in again while the
    // copy is in use. Owner's thread, like every other member.
    std::unique_ptr<NuvaroConnector> copyForRequests() const;

    // Whether the URI stream factories have been registered by a connector.
    static bool streamFactoriesRegistered() { return m_registered.load(); }

private:
    // ---- The request procedure (nuvarocbfs_Network.cpp) ----

    // Runs one request: gate, session, head, body, exchange, status rule and
    // parse. True when the reply was parsed (reply.outcome Parsed).
    bool runRequest(const RequestSpec& spec, Reply& reply);
    // The frame of every request without the exchange itself: optional
    // clearing of the last error, the login gate, the session (proxy and
    // timeout included), exception handling and logging. exchange runs with
    // the open session; false when it did not run or raised.
    bool runExchange(const RequestSpec& spec, Reply& reply,
                     const std::function<void(Poco::Net::HTTPClientSession&)>& exchange);
    std::unique_ptr<Poco::Net::HTTPClientSession> openSession(const RequestSpec& spec);
    // A session (HTTPS when the scheme is "https") on the host and port of uri,
    // with the timeout of a request of timeoutSeconds; no proxy yet.
    std::unique_ptr<Poco::Net::HTTPClientSession> openSession(const Poco::URI& uri, int timeoutSeconds);
    bool applyProxy(Poco::Net::HTTPClientSession& session);
    // Makes hook the exchange's cancel hook (m_exchangeHook) for the time of
    // one exchange on one session, and withdraws the session from it at the
    // end; declared after the session, so destroyed before it. Nested scopes
    // (a redirect's own session) restore the outer hook.
    class ExchangeCancelScope {
    public:
        ExchangeCancelScope(NuvaroConnector& owner, RequestCancelHook* hook, Poco::Net::HTTPClientSession* session)
            : m_owner(owner), m_previous(owner.m_exchangeHook), m_previousAttached(owner.m_exchangeAttached),
              m_hook(hook), m_session(session) {
            m_owner.m_exchangeHook = hook;
            m_owner.m_exchangeAttached = false;
        }
        ~ExchangeCancelScope() {
            if (m_hook && m_owner.m_exchangeAttached) m_hook->detach(m_session);
            m_owner.m_exchangeHook = m_previous;
            m_owner.m_exchangeAttached = m_previousAttached;
        }
        ExchangeCancelScope(const ExchangeCancelScope&) = delete;
        ExchangeCancelScope& operator=(const ExchangeCancelScope&) = delete;

    private:
        NuvaroConnector& m_owner;
        RequestCancelHook* m_previous;
        bool m_previousAttached;
        RequestCancelHook* m_hook;
        Poco::Net::HTTPClientSession* m_session;
    };
    // Limits the session's connection attempt to CANCELLABLE_CONNECT_SECONDS
    // (or its own timeout when shorter); sending and receiving keep theirs.
    static void capConnectTime(Poco::Net::HTTPClientSession& session);
    // Sends the request head on session, within the cancel hook of the
    // exchange running now (none: a plain send): the session is attached
    // before (already cancelled: RequestCanceledException, nothing sent) and
    // reported sent after (cancelled meanwhile: RequestCanceledException).
    // Returns the body stream.
    std::ostream& sendCancellable(Poco::Net::HTTPClientSession& session, Poco::Net::HTTPRequest& request);
    // Takes the session back from the exchange's hook before the request's
    // thread closes or resets its socket: the hook then no longer touches it.
    void withdrawFromCancel(Poco::Net::HTTPClientSession& session);
    void sendRequest(Poco::Net::HTTPClientSession& session, const RequestSpec& spec);
    void receiveReply(Poco::Net::HTTPClientSession& session, const RequestSpec& spec, Reply& reply);
    bool statusAccepted(const RequestSpec& spec, int status) const;
    std::string requestTarget(const RequestSpec& spec, bool maskSecrets) const;
    static std::string encodeFields(const std::vector<FormField>& fields, bool maskSecrets);
    static std::string encodeValue(const std::string& value);
    std::string deviceInfo(bool withLineFeed) const;
    void setCookies(Poco::Net::HTTPRequest& request) const;
    void fillHead(Poco::Net::HTTPRequest& request, const std::string& method, const std::string& uri);
    Poco::Timespan effectiveTimeout(int seconds) const;
    // Seconds as the login and status requests log them: microseconds / 1e6 as
    // a float in the stream's default format, a zero reading counted as 1 µs.
    static std::string elapsedSeconds(const Poco::Stopwatch& watch);

    // ---- Result rules ----

    // The parsed records replace out; false (out untouched) unless parsed.
    static bool recordsResult(const Reply& reply, RecordList& out);

    // One "command" record with result "1": rule.successText traced (when not
    // empty), true. One with another result: rule.failureText + " result=" ...
    // at rule.failureLevel, its message as last error, false. Zero or several
    // records: logged as the rule says, false, last error untouched.
    bool commandResult(const Reply& reply, const CommandRule& rule);
    // Runs a "command" request and judges its reply by rule.
    bool runCommand(const RequestSpec& spec, const CommandRule& rule);
    // The one record of a parsed "command" reply, or nullptr (the zero or
    // several records logged as the rule says).
    const Record* singleCommandRecord(const Reply& reply, const CommandRule& rule) const;
    // Sets the outcome and reason of a refused reply (and the last error,
    // unless the request keeps it untouched).
    void failReply(const RequestSpec& spec, Reply& reply, Reply::Outcome outcome, const std::string& reason);
    // Why a request did not succeed: the reply's error, the zero/several
    // records text, or the refusing record's message.
    static std::string failureReason(const Reply& reply);
    // Makes failureReason(reply) the last error.
    void keepFailureReason(const Reply& reply);
    // A request trace of two lines: server address + path, then the body.
    std::function<void(const std::string&)> traceTargetThenBody(const std::string& path) const;
    RequestSpec fileListSpec(const std::string& operation, const std::string& path, int showHidden, bool fc) const;
    std::string fileListError(const Reply& reply);

    // ---- Helpers ----
    std::string setting(const std::string& key) const;
    bool hasSetting(const std::string& key) const;
    static std::string recordValue(const Record& record, const std::string& key);
    std::string clientDescription() const;
    void addClientFields(RequestSpec& spec) const;
    // A login reply said "1": logged in with the reply's cookies.
    void acceptLogin(const Reply& reply, const std::string& traceText);
    bool readLoginMode(int& mode);
    const Record* singleLoginRecord(const Reply& reply, const std::string& unexpectedText);
    void setLastError(const std::string& text, const std::string& errorClass = "");
    void clearLoginFlags();

    // ---- Fields (owning thread only, except where noted) ----
    bool m_authenticated = false;
    RecordList m_config;
    std::vector<Poco::Net::HTTPCookie> m_cookies;
    bool m_lanDetected = false;
    std::string m_lanURL;
    bool m_badLogin = false;
    std::string m_lastError;
    std::string m_lastErrorClass;
    std::string m_userAgent;
    bool m_2FARequired = false;
    std::string m_2FAToken;
    bool m_devAuthCodeRequired = false;
    bool m_devAuthSessionTimeout = false;
    bool m_devAuthInvalidCode = false;
    bool m_adminApprovalRequired = false;
    // Guarded by m_uploadProgressMutex: remote folder + "/" + file name to
    // percent sent, for chunked uploads in progress.
    Poco::Mutex m_uploadProgressMutex;
    std::map<std::string, int> m_uploadProgress;
    // Security questions answered in the current chain of doRemoteLogin calls.
    int m_securityQuestionRounds = 0;
    Poco::Timespan m_timeoutLimit;
    // The owner's cancel hook (setCancelHook), and the hook of the exchange
    // running now (runExchange sets it for the time of its exchange, so that
    // the steps of a request or transfer can report their session sent).
    RequestCancelHook* m_cancelHook = nullptr;
    RequestCancelHook* m_exchangeHook = nullptr;
    // The hook accepted the exchange's session (detach is then due).
    bool m_exchangeAttached = false;

    // Process-wide: the stream factories have been registered.
    static std::atomic<bool> m_registered;

    // ==== File transfers ====================================================
    // Downloads: nuvarocbfs_Network_Download.cpp; uploads:
    // nuvarocbfs_Network_Upload.cpp; the large-file helpers they share:
    // nuvarocbfs_LargeFile.h. Each call runs on the caller's thread through the
    // request procedure's frame (runExchange: login gate, session, proxy) and
    // blocks until the transfer ends or a timeout (120 s per request, 300 s per
    // piece) ends it. The result and the caller's error text say what
    // happened; the transfers leave the last error alone (only a session that
    // cannot be set up, a bad URL or proxy setting, is kept there by the
    // request procedure, as for every request).
public:
    // Downloads the server file fileName in the server folder filePath (the
    // file's full server path is accepted as filePath too: the server resolves
    // both) into localPath. rangeStart/rangeEnd (-1 for none) ask for a byte
    // range: (a, b) "bytes=a-b", (a, -1) "bytes=a-", (-1, b) "bytes=-b".
    //
    // Success needs 200 for a whole-file request and 206 for a ranged one, on
    // the first request and on the one redirect (302 with Location) it follows.
    // The body then replaces localPath (no range, or a suffix range -b) through
    // a temporary file renamed into place once the body arrived complete, or
    // is written into localPath from rangeStart on, keeping every byte before
    // it (a 206 whose Content-Range starts elsewhere is refused); files it
    // creates are 0600 (saveResponseToFile). On false,
    // error holds the reason and localPath is as it was (an offset write that
    // broke off keeps what it wrote after the offset). error is not written on
    // success. The redirect target may be relative (resolved against the
    // server); the session cookies go only to the server's own host, and an
    // HTTPS server is never followed to plain HTTP.
    //
    // The body counts as complete only when its length is known and reached:
    // a chunked body must end with its last, zero-length chunk, any other
    // body must carry a Content-Length and deliver that many bytes; a reply
    // whose body would end only with the connection is refused ("Failed:
    // Download reply without a length"). expectedSize (-1: unknown) is the
    // size localPath must have once the body is written, the size the caller
    // knows from the sync record: a replacing body of another size is
    // refused before the rename ("Failed: Size Mismatch, ..."), so a short
    // reply never replaces the user's file.
    //
    // cancel (null: none) is read, never written, before every block of the
    // body: once it is set the download stops at once with "Canceled by
    // user", the request's connection is dropped, and localPath is as it was
    // (a replacing download's temporary file is removed). The owner's stop
    // flag goes here, as it goes to chunkedUploadFile.
    bool downloadFile(const std::string& filePath, const std::string& fileName, const std::string& localPath,
                      std::string& error, const std::string& appName, Poco::Int64 rangeStart, Poco::Int64 rangeEnd,
                      Poco::Int64 expectedSize = -1, const std::atomic<bool>* cancel = nullptr);

    // Downloads url into localPath (always replaced, complete bodies only, as
    // above). url is either
    // server-relative ("/core/getprofileimage", sent unchanged) or absolute
    // (the server's URL + a path; another host gets no cookies, an HTTPS server
    // is not left for plain HTTP). Only 200 or 206 succeed; a 302 fails.
    bool downloadToFile(const std::string& url, const std::string& localPath, std::string& error);

    // A unique name for a temporary file in the same folder as path: the
    // file's name (its first 200 bytes, so that a long name stays within the
    // 255 bytes a name may have) + "." + process id + "-" + counter +
    // ".tmp.part". A replacing download writes there before the rename.
    //     "/d/a.txt" -> "/d/a.txt.4711-3.tmp.part"
    static std::string temporaryNameFor(const std::string& path);
    // The process id in a file name (last component, no folder) made by
    // temporaryNameFor, or -1 for any name not of exactly that form: so the
    // owner of a leftover can be told apart, and only such names are ever
    // taken for temporary files.
    //     "a.txt.4711-3.tmp.part" -> 4711; "a.txt.part", "x.tmp.part",
    //     "a.txt.47-.tmp.part", ".4711-3.tmp.part" -> -1
    static long temporaryNameProcess(const std::string& name);

    // Writes the whole stream in into localPath. offset -1 replaces the file
    // through a temporary file in the same folder that is renamed into place
    // only when the stream ended without error, when expectedLength is not
    // -1 after exactly expectedLength bytes, and when expectedFileSize is not
    // -1 with a file of exactly that size; on false nothing changed. Another
    // offset opens the file without truncating it (creating it when missing)
    // and writes from offset on; the same checks then make the result false
    // but cannot undo the write. A file that cannot be opened raises
    // the file library's exception; a stream that is not good after opening
    // or positioning gives false with "Failed: Unable to create local file for
    // writing". cancel (null: none) is read before every block; once set the
    // copy stops with false and "Canceled by user" (a replacement then
    // changes nothing). Every file it creates (the temporary file, a missing
    // file written from an offset) is made 0600 whatever the umask, never
    // through a link; a replacement gets the replaced file's mode, a new file
    // stays 0600 (a caller that places it elsewhere gives it its final mode).
    bool saveResponseToFile(std::istream& in, const std::string& localPath, Poco::Int64 offset, std::string& error,
                            Poco::Int64 expectedLength = -1, Poco::Int64 expectedFileSize = -1,
                            const std::atomic<bool>* cancel = nullptr);

    // Uploads the file at localPath into the server folder remoteFolder in one
    // multipart POST ("filedata", the name after the last "/" or "\"). True
    // only when the server answers 200 with "Succeeded" or "OK" as a word of
    // its own in the body; otherwise false with the body (or, when empty, the
    // status) in error. A missing file fails with "Failed: " + the file
    // library's text before anything is sent. The file's version (size and
    // modification time, any time before or after 1970) is measured before
    // the first byte is read; a file that changes or is replaced before the
    // body's closing boundary fails with "Failed: File changed during
    // upload", and the request is dropped there, so the server stores
    // nothing. Once the server answered that it stored the file, the upload
    // of that version succeeded, even when the file changed meanwhile: sent
    // (null: not wanted) then holds the version that went up, and the newer
    // file is for the caller to send again. sent is written on success only.
    // unused has no effect (callers pass -1).
    bool uploadFile(const std::string& remoteFolder, const std::string& localPath, std::string& error,
                    std::string appName, Poco::Int64 unused, LocalFileVersion* sent = nullptr);

    // The same upload in pieces of at most chunkSize (> 0) bytes on one
    // session, each telling the server its offset and whether it is the last;
    // an empty file goes as one empty last piece. date ("" computes it from
    // the file) goes unchanged with every piece. cancel is read (never
    // written, so no signal is consumed) before each piece and never after the
    // last: once the last piece was accepted the upload has succeeded. A
    // cancelled upload fails with "Canceled by user". Every piece is checked
    // against the version measured before the first, as above; a change seen
    // after a piece that is not the last fails the upload at once (nothing
    // more is sent), a change after the last piece was accepted does not:
    // sent then holds the version that went up. While it runs,
    // getCurrentUploadList shows remoteFolder + "/" + name with the percentage
    // acknowledged before the piece in flight; the entry is gone afterwards.
    bool chunkedUploadFile(const std::string& remoteFolder, const std::string& localPath, std::string& error,
                           const std::atomic<bool>& cancel, std::string appName, Poco::Int64 chunkSize,
                           std::string date, LocalFileVersion* sent = nullptr);

    // Empties list, then copies the progress of the chunked uploads running on
    // this connector into it. Any thread may call it.
    void getCurrentUploadList(std::map<std::string, int>& list);

private:
    // The frame of every transfer (nuvarocbfs_Network_Transfer.cpp): the login
    // gate (logs name + gateLog, error = gateError), then the request
    // procedure's session on the server (proxy, timeout of timeoutSeconds)
    // handed to transfer, whose result is returned. An exception from transfer
    // is logged as name + " : [" display text + "] with message [" ... "]" and
    // gives false with error = failurePrefix + the display text; a session
    // that could not be set up gives false with "Failed: " + the reason.
    bool runTransfer(const std::string& name, const std::string& gateLog, const std::string& gateError,
                     int timeoutSeconds, const std::string& failurePrefix, std::string& error,
                     const std::function<bool(Poco::Net::HTTPClientSession&)>& transfer);
    // Whether a download may fetch from target, and with the session cookies:
    // only http and https, never plain HTTP when the server is HTTPS; cookies
    // only for the server's own host (configured or LAN address).
    bool checkTransferTarget(const Poco::URI& target, bool& sendCookies, std::string& error, const std::string& name);
    bool isServerHost(const std::string& host) const;
    std::string transferSetupError() const;
    // True when the exchange running now was cancelled by its hook's owner.
    bool transferCanceled() const;
    // getPrintableSpeedValue of bytes over the watch's time (1 µs at least).
    static std::string transferSpeed(Poco::UInt64 bytes, const Poco::Stopwatch& watch);

    // Where and how a download's body goes: the local file, the byte range
    // asked for (-1 for none) and the file size the caller expects (-1).
    struct LocalDownload {
        std::string path;
        Poco::Int64 rangeStart;
        Poco::Int64 rangeEnd;
        Poco::Int64 expectedSize;
        const std::atomic<bool>* cancel = nullptr;
    };
    enum class DownloadOutcome;
    DownloadOutcome runDownloadRequest(Poco::Net::HTTPClientSession& session, Poco::Net::HTTPRequest& request,
                                       const LocalDownload& local, bool mayRedirect, std::string& location,
                                       std::string& error, const std::string& name);
    // One GET of target (no redirect followed) on a session of its own to
    // address, after checkTransferTarget; the body is saved as by downloadFile.
    bool downloadFromAddress(const Poco::URI& address, const std::string& target, const LocalDownload& local,
                             std::string& error, const std::string& name);

    static std::string uploadTarget(const std::string& appName, const std::string& remoteFolder,
                                    Poco::Int64 offset, bool complete, const std::string& date);
    // Sends one multipart part of `count` bytes of data; sourceUnchanged is
    // asked before the part's closing boundary, and false drops the
    // connection there (the server never completes the request).
    bool sendUploadPiece(Poco::Net::HTTPClientSession& session, const std::string& target,
                         const std::string& fileName, std::istream& data, Poco::Int64 count,
                         const std::function<bool()>& sourceUnchanged, int timeoutSeconds, std::string& error,
                         const std::string& name);
    // ==== End of file transfers =============================================
};

// Sets the proxy of the settings map on session: none unless both
// "httpproxyhost" and "httpproxyport" hold a value; the credentials
// "httpproxyuser" and "httpproxypassword" (Basic) only when both hold one.
// False, the session untouched, when the port is not a number from 1 to
// 65535; error then says so. The connector and the sync worker's own
// requests share this rule.
bool applyProxySettings(const Record& settings, Poco::Net::HTTPClientSession& session, std::string& error);

// Splits path at every "/" and "\" into its folder part and last component.
// Every piece but the last is appended to folder, each followed by "/" (folder
// is not emptied first; a leading separator gives a leading "/"), and the last
// piece is assigned to name. An empty path changes nothing.
//   "/a/b/c.txt" -> folder += "/a/b/", name = "c.txt"
//   "c.txt"      -> folder unchanged,  name = "c.txt"
//   "a\b"        -> folder += "a/",    name = "b"
void splitFolder(const std::string& path, std::string& name, std::string& folder);

// The UTC date of a Poco UTC time value (100 ns units since 1582-10-15) as
// "YYYY-MM-DD HH:MM:SS", seconds truncated, URI-encoded with the reserved set:
// 2017-05-16 12:34:56.789 gives "2017-05-16%2012%3A34%3A56".
std::string UtilGetUTCTimeStrFromUTCTimestamp(Poco::Int64 time);

} // namespace Nuvaro
