// FSWorker: the worker's own requests to the server's sync API. Every
// request of the worker (these, and the folder-list, status-set and delta
// requests of the passes) runs through sendSyncRequest, a thin call of the
// connector's request procedure (NuvaroConnector::exchange): a fresh HTTP(S)
// session on the connector's server set up by setupHTTPProps, the
// connector's headers and login cookies, and the reply's status, length and
// body handed back, read here within the request's bounds. Each operation
// then applies its own reply rule and turns exceptions into its own log line
// at its boundary.

#include "FSWorker.h"

#include "LimitedInputStream.h"
#include "LoginFailure.h"
#include "NuvaroException.h"
#include "RequestText.h"
#include "SyncLog.h"
#include "UIEvent.h"
#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Exception.h>
#include <Poco/InflatingStream.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/NumberFormatter.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>

#include <exception>
#include <functional>
#include <memory>
#include <sstream>

namespace Nuvaro {
namespace Sync {

namespace {

const int SESSION_TIMEOUT_SECONDS = 300;

using RequestText::exceptionLine;
using RequestText::formValue;
using RequestText::recordValue;

// Limits of one reply body, for readWholeBody.
struct BodyLimits {
    // Inflate a gzip body.
    bool inflate = false;
    // Most bytes on the wire (-1: any number).
    Poco::Int64 wire = -1;
    // Most inflated bytes: max(inflateFloor, inflateRatio x the wire bytes).
    Poco::Int64 inflateRatio = 100;
    Poco::Int64 inflateFloor = 0;
};

// Hands the body of a received reply to `consume`: a chunked body through
// the checked chunk reader, a gzip body inflated when `limits.inflate` is
// set. At most `limits.wire` bytes of the body are read, and at most the
// ratio bound of what inflating them gives. Anything but Received when the
// body held more than that (what was consumed is then to be dropped).
// `received` is set to the bytes read on the wire (after the chunk reader).
// Throws Poco::Net::MessageException for a body cut short (fewer bytes than
// its Content-Length, no last chunk) and passes on what the streams and
// `consume` throw (a time-out, a gzip stream that is broken or has no end).
FSWorker::SyncReply::Outcome readWholeBody(Poco::Net::HTTPClientSession& session, std::istream& in,
                                           const Poco::Net::HTTPResponse& response, const BodyLimits& limits,
                                           const std::function<void(std::istream&)>& consume,
                                           Poco::Int64& received) {
    using Reply = FSWorker::SyncReply;
    // Errors of every stream on the way (a time-out, a broken chunk, bad gzip
    // data) come through as exceptions instead of looking like the body's end.
    std::unique_ptr<ChunkedBodyInputStream> chunked;
    std::istream* raw = &in;
    if (response.getChunkedTransferEncoding()) {
        chunked.reset(new ChunkedBodyInputStream(ChunkedBodyStreamBuf::sessionSource(session)));
        raw = chunked.get();
    }
    raw->exceptions(std::ios::badbit);
    LimitedInputStream wire(*raw, limits.wire);
    std::unique_ptr<Poco::InflatingInputStream> inflater;
    std::unique_ptr<LimitedInputStream> inflated;
    std::istream* body = &wire;
    if (limits.inflate) {
        inflater.reset(new Poco::InflatingInputStream(wire, Poco::InflatingStreamBuf::STREAM_GZIP));
        inflater->exceptions(std::ios::badbit);
        inflated.reset(new LimitedInputStream(*inflater, wire, limits.inflateRatio, limits.inflateFloor));
        body = inflated.get();
    }
    // The wire bound first: an inflater cut off at it may also look bloated.
    auto outcome = [&] {
        received = wire.count();
        if (wire.exceeded())
            return Reply::TooLarge;
        if (inflated && inflated->exceeded())
            return Reply::TooInflated;
        return Reply::Received;
    };
    // The body must also have ended where it says it ends. Asking the
    // inflater for one more byte makes it throw when the gzip stream has no
    // end; asking the raw body makes the chunk reader read the last chunk
    // (and finds a body that goes on past the wire bound).
    auto readToTheEnd = [&] {
        consume(*body);
        if (wire.exceeded() || (inflated && inflated->exceeded()))
            return;
        if (inflater) {
            inflater->clear();
            inflater->peek();
        }
        wire.clear();
        wire.peek();
    };
    try {
        readToTheEnd();
    } catch (...) {
        if (outcome() != Reply::Received)
            return outcome();
        throw;
    }
    if (outcome() != Reply::Received)
        return outcome();
    if (chunked && !chunked->complete())
        throw Poco::Net::MessageException("Incomplete reply: the body ended before its last chunk");
    if (response.hasContentLength() && wire.count() < response.getContentLength64())
        throw Poco::Net::MessageException("Incomplete reply: " + std::to_string(wire.count()) + " of " +
                                          std::to_string(response.getContentLength64()) + " bytes received");
    return Reply::Received;
}

} // namespace

// ---- The request procedure ----

void FSWorker::setupHTTPProps(boost::shared_ptr<Poco::Net::HTTPClientSession>& session) {
    session->setTimeout(Poco::Timespan(SESSION_TIMEOUT_SECONDS, 0));
    std::string error;
    if (!applyProxySettings(settings.empty() ? Nuvaro::Record() : settings[0], *session, error))
        throw Poco::InvalidArgumentException(error);
}

void FSWorker::sendSyncRequest(const SyncRequest& request, SyncReply& reply) {
    syncLog().trace(request.operation);
    reply = SyncReply();
    boost::shared_ptr<NuvaroConnector> server = request.via ? request.via : connector;
    if (!server || !server->isAuthenticated()) {
        if (!request.notPreparedText.empty())
            syncLog().error(request.operation + request.notPreparedText);
        return;
    }
    RequestSpec spec(request.operation, request.method, request.uri);
    spec.httpVersion = Poco::Net::HTTPMessage::HTTP_1_0;
    spec.traceRequest = false;
    spec.traceStatus = false;
    spec.postLineFeed = false;
    spec.contentTypeFirst = true;
    spec.acceptGzip = request.acceptGzip;
    spec.setupSession = [this](Poco::Net::HTTPClientSession& session) {
        // The session stays the exchange's: the pointer handed over owns nothing.
        boost::shared_ptr<Poco::Net::HTTPClientSession> handed(&session, [](Poco::Net::HTTPClientSession*) {});
        setupHTTPProps(handed);
    };
    spec.cancelHook = &requestCanceller;
    // The body is already encoded: sent verbatim as its first name and the
    // rest ("path=%2Fa&x=1" goes out as it is).
    const std::string::size_type equals = request.body.find('=');
    if (!request.body.empty() && request.method == Poco::Net::HTTPRequest::HTTP_POST)
        spec.fields.push_back(FormField{request.body.substr(0, equals),
                                        equals == std::string::npos ? std::string() : request.body.substr(equals + 1),
                                        false, true});
    spec.readBody = [&](Poco::Net::HTTPClientSession& session, std::istream& in,
                        const Poco::Net::HTTPResponse& response) {
        reply.status = response.getStatus();
        reply.contentLength = response.getContentLength64();
        if (request.maxContentLength >= 0 && reply.contentLength > request.maxContentLength) {
            reply.outcome = SyncReply::TooLarge;
            return;
        }
        BodyLimits limits;
        limits.inflate = request.acceptGzip && response.get("Content-Encoding", "") == "gzip";
        limits.wire = request.maxContentLength;
        limits.inflateRatio = request.maxInflateRatio;
        limits.inflateFloor = request.inflateFloor;
        auto consume = [&](std::istream& body) {
            if (request.readBody && reply.status == Poco::Net::HTTPResponse::HTTP_OK)
                request.readBody(body);
            else
                Poco::StreamCopier::copyToString(body, reply.body);
        };
        reply.outcome = readWholeBody(session, in, response, limits, consume, reply.received);
    };
    Reply exchanged;
    server->exchange(spec, exchanged);
    if (exchanged.outcome == Reply::Outcome::Canceled)
        throw Poco::IOException(request.operation + ": the worker is shutting down");
}

ParseResult FSWorker::parseReply(const std::string& recordName, const std::string& body) {
    std::istringstream in(body);
    ParseResult parsed = NuvaroXmlParser::parse(recordName, in);
    if (!parsed.ok && !body.empty())
        syncLog().error(parsed.error);
    return parsed;
}

bool FSWorker::replyAccepted(const std::string& operation, const SyncReply& reply) {
    if (reply.status != Poco::Net::HTTPResponse::HTTP_OK) {
        syncLog().error(operation + " Bad HTTP Status, Timeout? ");
        flags.loggedIn = false;
        return false;
    }
    if (reply.outcome == SyncReply::TooLarge || reply.outcome == SyncReply::TooInflated) {
        syncLog().error(operation + " Bad response Get Content Length ");
        flags.loggedIn = false;
        return false;
    }
    return true;
}

bool FSWorker::commandSucceeded(const ParseResult& reply) {
    if (reply.records.empty())
        return false;
    std::string result = recordValue(reply.records.front(), "result");
    return result == "true" || result == "1";
}

// ---- Recheck, skip upload, checksum ----

bool FSWorker::doRecheckRecord(const std::string& path, const boost::shared_ptr<NuvaroConnector>& via) {
    try {
        SyncRequest request = postRequest("doRecheckRecord", "/app/sync/recheckrecord", "path=" + formValue(path));
        request.notPreparedText = " ERROR Preparing HTTP";
        request.via = via;
        SyncReply reply;
        sendSyncRequest(request, reply);
        if (reply.outcome == SyncReply::NotPrepared)
            return false;
        syncLog().debug("Recheck Response: " + reply.body);
    } catch (const Poco::Exception& e) {
        syncLog().error(std::string("doRecheckRecord") + "Poco Exception caught Ignoring for Recheck : " +
                        e.displayText() + " " + e.message());
    } catch (const Nuvaro::Exception& e) {
        syncLog().error(std::string("doRecheckRecord") + " Exception caught Ignoring for Recheck : " + e.message());
    } catch (...) {
        syncLog().error(std::string("doRecheckRecord") + " Unknown Exception caught Ignoring for Recheck  : ");
    }
    return true;
}

FSWorker::SyncRequest FSWorker::getRequest(const std::string& operation, const std::string& uri) {
    SyncRequest request;
    request.operation = operation;
    request.method = Poco::Net::HTTPRequest::HTTP_GET;
    request.uri = uri;
    return request;
}

FSWorker::SyncRequest FSWorker::postRequest(const std::string& operation, const std::string& uri,
                                            const std::string& body) {
    SyncRequest request = getRequest(operation, uri);
    request.method = Poco::Net::HTTPRequest::HTTP_POST;
    request.body = body;
    return request;
}

FSWorker::CommandAnswer FSWorker::askCommand(const std::string& operation, const std::string& uri,
                                             std::string& message) {
    SyncReply reply;
    sendSyncRequest(getRequest(operation, uri), reply);
    if (reply.outcome == SyncReply::NotPrepared || !replyAccepted(operation, reply))
        return CommandAnswer::None;
    ParseResult parsed = parseReply("command", reply.body);
    if (parsed.records.empty())
        return CommandAnswer::None;
    message = recordValue(parsed.records.front(), "message");
    return commandSucceeded(parsed) ? CommandAnswer::Done : CommandAnswer::Refused;
}

bool FSWorker::doSkipUpload(boost::shared_ptr<FSSyncRecord> record) {
    const std::string name = "doSkipUpload";
    try {
        std::string message;
        CommandAnswer answer =
            askCommand(name, "/app/sync/skipupload?friendly=" + formValue(friendlyName) + "&name=" +
                                 formValue(hostname) + "&fullpath=" +
                                 formValue(FSSyncDB::convertToLinuxPath(record->getFullPath())) +
                                 "&size=" + Poco::NumberFormatter::format(record->getSize()),
                       message);
        if (answer == CommandAnswer::None)
            return false;
        syncLog().debug((answer == CommandAnswer::Done ? "FS Skip OK: " : "FS Skip Fail: ") + record->getFullPath());
        return answer == CommandAnswer::Done;
    } catch (...) {
        syncLog().error(exceptionLine(name, ""));
        flags.loggedIn = false;
        return false;
    }
}

bool FSWorker::getCheckSum(boost::shared_ptr<FSSyncRecord> record, Poco::Int64 length, std::string& checksum,
                           bool download) {
    const std::string name = "getCheckSum";
    try {
        std::string message;
        CommandAnswer answer = askCommand(
            name, "/app/sync/getchecksum?friendly=" + formValue(friendlyName) +
                      (download ? "&download=1" : "&download=0") + "&fullpath=" +
                      formValue(FSSyncDB::convertToLinuxPath(record->getFullPath())) + "&name=" + formValue(hostname) +
                      "&start=0&length=" + Poco::NumberFormatter::format(length),
            message);
        if (answer == CommandAnswer::None)
            return false;
        if (answer == CommandAnswer::Refused) {
            syncLog().debug("FS Skip Fail: " + record->getFullPath());
            return false;
        }
        checksum = message;
        syncLog().debug("GetRemote Checksum: " + checksum);
        return true;
    } catch (...) {
        syncLog().error(exceptionLine(name, ""));
        flags.loggedIn = false;
        return false;
    }
}

// ---- The sync lock ----

std::string FSWorker::deviceQuery() const {
    return "?friendly=" + formValue(friendlyName) + "&name=" + formValue(hostname);
}

bool FSWorker::doLock() {
    const std::string name = "doLock";
    try {
        SyncReply reply;
        if (flags.loggedIn.load()) {
            SyncRequest request = getRequest(name, "/app/sync/lock" + deviceQuery());
            // A connector that cannot prepare the request is logged in again
            // below, without an error line.
            request.notPreparedText.clear();
            sendSyncRequest(request, reply);
        }
        if (reply.outcome == SyncReply::NotPrepared) {
            relogInForLock();
            return false;
        }
        if (!replyAccepted(name, reply))
            return false;
        ParseResult parsed = parseReply("lock", reply.body);
        if (parsed.records.empty()) {
            flags.loggedIn = false;
            return false;
        }
        flags.loggedIn = true;
        const Nuvaro::Record& lock = parsed.records.front();
        if (recordValue(lock, "success") != "true") {
            syncLog().debug("LOCK failed. Server says: " + recordValue(lock, "reason"));
            return false;
        }
        flags.locked = true;
        uploadPath = recordValue(lock, "uploadpath");
        if (recordValue(lock, "syncversion") != "2") {
            reportError("Error: Incompatibe Server Detected. Upgrade to latest version", "", "",
                        FSActivity::TypeError);
            curInterval = 4 * syncFrequency.load();
            return false;
        }
        curInterval = syncFrequency.load();
        return true;
    } catch (...) {
        syncLog().error(exceptionLine(name, " "));
        flags.loggedIn = false;
        return false;
    }
}

void FSWorker::relogInForLock() {
    boost::shared_ptr<NuvaroConnector> server = connector;
    if (server && server->Authenticate(true)) {
        flags.loggedIn = true;
        curInterval = syncFrequency.load();
        return;
    }
    flags.loggedIn = false;
    Poco::Logger& root = Poco::Logger::get("");
    if (!server)
        return;
    const LoginFailure::Kind failure = classifyLoginFailure(*server).kind;
    if (failure == LoginFailure::Kind::Refused) {
        root.error("Authentication Failed or Bad 2FA code or Bad Device Auth Code");
        uiPostEvent(static_cast<uiEventType>(4), "Login Failed, relogin", 0);
        uiPostEvent(static_cast<uiEventType>(7), "", 0);
    } else if (failure == LoginFailure::Kind::SessionTimedOut) {
        root.error("Device Auth Code Session Timeout");
        uiPostEvent(static_cast<uiEventType>(4), "Device Session Timedout, relogin", 0);
        uiPostEvent(static_cast<uiEventType>(8), "", 0);
    } else {
        curInterval = 4 * syncFrequency.load();
        std::string error = server->getLastError();
        std::string errorClass = server->getLastErrorClass();
        syncLog().error(" Authenticate Failed.. " + error + " Exception: " + errorClass);
    }
}

bool FSWorker::doUnlock() {
    const std::string name = "doUnlock";
    try {
        SyncReply reply;
        sendSyncRequest(getRequest(name, "/app/sync/unlock" + deviceQuery()), reply);
        if (reply.outcome == SyncReply::NotPrepared || !replyAccepted(name, reply))
            return false;
        ParseResult parsed = parseReply("unlock", reply.body);
        if (!parsed.records.empty() && recordValue(parsed.records.front(), "success") != "true")
            syncLog().error("UNLOCKED Server FAILED, ignoring");
        flags.locked = false;
        return true;
    } catch (...) {
        syncLog().error(exceptionLine(name, " "));
        flags.loggedIn = false;
        return true;
    }
}

// ---- The lock refresh ----

void FSWorker::startRefreshLockActivity() {
    stopRefreshLockActivity();
    refreshLock.reset(new RefreshLockActivity(hostname));
    refreshLock->setInterval(intervals.lockRefreshStepMs, intervals.lockRefreshSteps);
    boost::shared_ptr<NuvaroConnector> server = connector;
    if (!refreshLock->prepareRequest(server))
        return;
    try {
        refreshLock->activity().start(Poco::ThreadPool::defaultPool());
    } catch (const Poco::Exception& e) {
        // No pool thread free: the lock is taken again by the next pass.
        syncLog().error(std::string("startRefreshLockActivity") + " Poco Exception caught : " + e.displayText());
    }
}

void FSWorker::stopRefreshLockActivity() {
    if (!refreshLock)
        return;
    refreshLock->stop();
    refreshLock->activity().wait();
    refreshLock.reset();
}

} // namespace Sync
} // namespace Nuvaro
