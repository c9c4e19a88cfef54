#include "TestServerHandler.h"

#include "TestServerCore.h"
#include "TestServerFaults.h"
#include "TestServerRouter.h"
#include "TestServerWire.h"

#include <Poco/Net/HTTPCookie.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <streambuf>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

// Holds a body to about `bytesPerSecond` (0: no limit): pace(n) waits until
// n more bytes fit the rate since the start. The wait ends early, with false,
// when the server stops.
class Pacer {
public:
    Pacer(TestServerCore& core, Poco::Int64 bytesPerSecond)
        : m_core(core)
        , m_rate(bytesPerSecond)
    {
    }

    bool pace(Poco::Int64 bytes)
    {
        if (m_rate <= 0) return true;
        m_bytes += bytes;
        const Poco::Int64 dueMs = m_bytes * 1000 / m_rate;
        const Poco::Int64 waitMs = dueMs - m_clock.elapsed() / 1000;
        return waitMs <= 0 || !m_core.waitForStop(static_cast<int>(waitMs));
    }

private:
    TestServerCore& m_core;
    const Poco::Int64 m_rate;
    Poco::Int64 m_bytes = 0;
    Poco::Timestamp m_clock;
};

// Reads through to the request body, keeping the first `limit` bytes and
// counting them all, at the pace of `pacer` when one is given.
class RecordingStreamBuf : public std::streambuf {
public:
    RecordingStreamBuf(std::istream& in, std::size_t limit, Pacer* pacer = nullptr)
        : m_in(in)
        , m_limit(limit)
        , m_pacer(pacer)
    {
    }

    std::string captured;
    Poco::Int64 count = 0;

protected:
    int_type underflow() override
    {
        if (!m_in.good()) return traits_type::eof();
        if (m_pacer && !m_pacer->pace(sizeof(m_buffer))) return traits_type::eof();
        m_in.read(m_buffer, sizeof(m_buffer));
        std::streamsize n = m_in.gcount();
        if (n <= 0) return traits_type::eof();
        count += n;
        if (captured.size() < m_limit)
            captured.append(m_buffer, std::min<std::size_t>(static_cast<std::size_t>(n), m_limit - captured.size()));
        setg(m_buffer, m_buffer, m_buffer + n);
        return traits_type::to_int_type(m_buffer[0]);
    }

private:
    std::istream& m_in;
    const std::size_t m_limit;
    Pacer* m_pacer;
    char m_buffer[8192];
};

const char* const kSessionCookie = "vpsession";

Reply faultReply(const TestFault& fault)
{
    Reply reply;
    reply.status = fault.redirectWithoutLocation ? 302 : (fault.status ? fault.status : 200);
    reply.contentType = fault.contentType;
    reply.body = fault.body;
    reply.headers = fault.headers;
    return reply;
}

// Writes up to `count` body bytes of the reply to `out`, at the pace of
// `pacer` when one is given (then flushed block by block, so the bytes
// leave at that pace; a server stop ends the body early).
void writeBody(const Reply& reply, std::ostream& out, Poco::Int64 count, Pacer* pacer = nullptr)
{
    const std::size_t block = 8192;
    if (!reply.file) {
        const Poco::Int64 total = std::min<Poco::Int64>(count, reply.body.size());
        for (Poco::Int64 at = 0; at < total && out.good();) {
            const Poco::Int64 n = pacer ? std::min<Poco::Int64>(block, total - at) : total - at;
            if (pacer && !pacer->pace(n)) return;
            out.write(reply.body.data() + at, static_cast<std::streamsize>(n));
            if (pacer) out.flush();
            at += n;
        }
        return;
    }
    reply.file->seekg(reply.fileOffset);
    char buffer[block];
    while (count > 0 && reply.file->good() && out.good()) {
        reply.file->read(buffer, static_cast<std::streamsize>(std::min<Poco::Int64>(count, sizeof(buffer))));
        std::streamsize n = reply.file->gcount();
        if (n <= 0) break;
        if (pacer && !pacer->pace(n)) return;
        out.write(buffer, n);
        if (pacer) out.flush();
        count -= n;
    }
}

// Writes bytes straight to the request's socket, then shuts it down.
void sendRaw(Poco::Net::HTTPServerRequest& request, const std::string& bytes)
{
    Poco::Net::StreamSocket& socket = static_cast<Poco::Net::HTTPServerRequestImpl&>(request).socket();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int n = socket.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    socket.shutdown();
}

// Sends the head and the first `limit` bytes of head plus body straight to
// the socket, then lets the connection close.
void sendDropped(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response, const Reply& reply,
                 Poco::Int64 limit)
{
    response.setContentLength64(reply.length());
    response.setKeepAlive(false);
    std::ostringstream raw;
    response.write(raw);
    writeBody(reply, raw, std::max<Poco::Int64>(0, limit - static_cast<Poco::Int64>(raw.tellp())));
    std::string bytes = raw.str();
    if (static_cast<Poco::Int64>(bytes.size()) > limit) bytes.resize(static_cast<std::size_t>(limit));
    sendRaw(request, bytes);
}

// Sends the head with chunked encoding and one chunk of the first
// `fault.chunkedCutAt` body bytes straight to the socket, then closes without
// the last chunk. The chunk announces its own size (and ends with CR LF), or
// `fault.announcedChunkSize` when that is set.
void sendCutChunked(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response,
                    const Reply& reply, const TestFault& fault)
{
    response.setChunkedTransferEncoding(true);
    response.setKeepAlive(false);
    std::ostringstream raw;
    response.write(raw);
    const Poco::Int64 sent = std::min<Poco::Int64>(fault.chunkedCutAt, reply.length());
    const Poco::Int64 announced = fault.announcedChunkSize >= 0 ? fault.announcedChunkSize : sent;
    std::ostringstream size;
    size << std::hex << announced;
    raw << size.str() << "\r\n";
    writeBody(reply, raw, sent);
    if (fault.announcedChunkSize < 0) raw << "\r\n";
    sendRaw(request, raw.str());
}

void sendReply(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response, const Reply& reply,
               const TestFault* fault, Pacer* pacer)
{
    response.setStatusAndReason(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
    if (!reply.contentType.empty()) response.setContentType(reply.contentType);
    for (const auto& h : reply.headers) response.add(h.first, h.second);

    if (fault && fault->dropAfterBytes >= 0) {
        sendDropped(request, response, reply, fault->dropAfterBytes);
        return;
    }
    if (fault && fault->chunkedCutAt >= 0) {
        sendCutChunked(request, response, reply, *fault);
        return;
    }
    bool http11 = request.getVersion() == Poco::Net::HTTPMessage::HTTP_1_1;
    if (fault && fault->chunkedEncoding && http11) {
        response.setChunkedTransferEncoding(true);
    } else if (fault && (fault->omitContentLength || fault->chunkedEncoding)) {
        response.setContentLength(Poco::Net::HTTPMessage::UNKNOWN_CONTENT_LENGTH);
        response.setKeepAlive(false);
    } else if (fault && fault->announcedLength >= 0) {
        response.setContentLength64(fault->announcedLength);
        response.setKeepAlive(false);
    } else {
        response.setContentLength64(reply.length());
    }
    Poco::Int64 toSend = reply.length();
    if (fault && fault->truncateBodyAt >= 0 && fault->truncateBodyAt < toSend) {
        toSend = fault->truncateBodyAt;
        response.setKeepAlive(false);
    }
    std::ostream& out = response.send();
    if (request.getMethod() != "HEAD") writeBody(reply, out, toSend, pacer);
    out.flush();
}

} // namespace

TestServerHandlerFactory::TestServerHandlerFactory(TestServerCore& core, int listener)
    : m_core(core)
    , m_listener(listener)
{
}

Poco::Net::HTTPRequestHandler* TestServerHandlerFactory::createRequestHandler(const Poco::Net::HTTPServerRequest&)
{
    return new TestServerHandler(m_core, m_listener);
}

TestServerHandler::TestServerHandler(TestServerCore& core, int listener)
    : m_core(core)
    , m_listener(listener)
{
}

void TestServerHandler::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response)
{
    RecordedRequest record;
    record.listener = m_listener;
    record.method = request.getMethod();
    record.target = request.getURI();
    record.version = request.getVersion();
    record.path = routingPath(record.target, record.query);
    for (const auto& h : request) record.headers.emplace_back(h.first, h.second);

    // Counted as served from here until the reply is out (or dropped).
    struct Serving {
        TestServerRequestLog& log;
        const std::string path;
        ~Serving() { log.ended(path); }
    } serving{m_core.log(), record.path};
    m_core.log().began(record.path);

    std::optional<TestFault> fault = m_core.faults().take(record.path);
    if (fault && fault->action) fault->action();
    Pacer pacer(m_core, fault ? fault->bytesPerSecond : 0);
    Pacer* const paced = fault && fault->bytesPerSecond > 0 ? &pacer : nullptr;
    RecordingStreamBuf recorder(request.stream(), m_core.options().recordBodyLimit, paced);
    std::istream body(&recorder);

    Reply reply;
    if (fault && TestServerFaults::replacesReply(*fault)) {
        reply = faultReply(*fault);
    } else {
        Exchange ex(request, body, m_listener, record.path, parseFields(record.query));
        Poco::Net::NameValueCollection cookies;
        request.getCookies(cookies);
        if (cookies.has(kSessionCookie)) ex.session = m_core.store().session(cookies.get(kSessionCookie));
        reply = TestServerRouter(m_core).route(ex);
    }
    // Read what the endpoint left so the whole body is recorded and the
    // connection stays usable for the next request.
    body.ignore(std::numeric_limits<std::streamsize>::max());

    record.body = recorder.captured;
    record.bodySize = recorder.count;
    record.bodyTruncated = static_cast<Poco::Int64>(recorder.captured.size()) < recorder.count;
    record.status = reply.status;
    m_core.log().add(record);

    if (fault && fault->delayMs > 0 && m_core.waitForStop(fault->delayMs)) {
        response.setKeepAlive(false);
        return; // stopping: drop the reply
    }
    try {
        Pacer replyPacer(m_core, fault ? fault->bytesPerSecond : 0);
        sendReply(request, response, reply, fault ? &*fault : nullptr, paced ? &replyPacer : nullptr);
    } catch (Poco::Exception&) {
        // The client went away mid-reply; nothing to answer any more.
        response.setKeepAlive(false);
    }
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
