#include "nuvarocbfs_ChunkedBody.h"

#include <Poco/Ascii.h>
#include <Poco/Buffer.h>
#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/StreamSocket.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace Nuvaro {

namespace {

constexpr std::size_t kRawBufferSize = 8192;
// Longest size or trailer line accepted, and most trailer lines.
constexpr std::size_t kMaxLine = 4096;
constexpr int kMaxTrailerLines = 100;
// 15 hexadecimal digits (just under 2^60 bytes) leave no room for overflow.
constexpr std::size_t kMaxSizeDigits = 15;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

ChunkedBodyStreamBuf::ChunkedBodyStreamBuf(Source source)
    : m_source(std::move(source)), m_raw(kRawBufferSize) {
    setg(nullptr, nullptr, nullptr);
}

ChunkedBodyStreamBuf::Source ChunkedBodyStreamBuf::sessionSource(Poco::Net::HTTPSession& session) {
    auto buffered = std::make_shared<Poco::Buffer<char>>(0);
    session.drainBuffer(*buffered);
    auto used = std::make_shared<std::size_t>(0);
    return [&session, buffered, used](char* buffer, int length) -> int {
        if (*used < buffered->size()) {
            const std::size_t n = std::min(buffered->size() - *used, static_cast<std::size_t>(length));
            std::memcpy(buffer, buffered->begin() + *used, n);
            *used += n;
            return static_cast<int>(n);
        }
        return session.socket().receiveBytes(buffer, length);
    };
}

void ChunkedBodyStreamBuf::fail(const std::string& reason) {
    m_state = State::Failed;
    m_error = reason;
    throw Poco::Net::MessageException("Chunked reply body: " + reason);
}

bool ChunkedBodyStreamBuf::fill() {
    if (m_rawStart < m_rawEnd) return true;
    int n = 0;
    try {
        n = m_source(m_raw.data(), static_cast<int>(m_raw.size()));
    } catch (const Poco::Exception& e) {
        // A time-out or a reset: keep the reason, let the stream see it.
        m_state = State::Failed;
        m_error = e.displayText();
        throw;
    }
    m_rawStart = 0;
    m_rawEnd = n > 0 ? static_cast<std::size_t>(n) : 0;
    return m_rawEnd > 0;
}

int ChunkedBodyStreamBuf::nextByte() {
    if (!fill()) return -1;
    return static_cast<unsigned char>(m_raw[m_rawStart++]);
}

bool ChunkedBodyStreamBuf::readLine(std::string& line) {
    line.clear();
    for (;;) {
        const int c = nextByte();
        if (c < 0) return false;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (line.size() >= kMaxLine) fail("line longer than " + std::to_string(kMaxLine) + " bytes");
        line += static_cast<char>(c);
    }
}

// "1a2b", optionally followed by blanks and ";" extensions.
void ChunkedBodyStreamBuf::readChunkSize() {
    std::string line;
    if (!readLine(line)) fail("the connection ended before the last chunk");
    std::size_t digits = 0;
    unsigned long long size = 0;
    while (digits < line.size() && hexValue(line[digits]) >= 0) {
        if (digits == kMaxSizeDigits) fail("chunk size too large");
        size = size * 16 + static_cast<unsigned>(hexValue(line[digits]));
        ++digits;
    }
    std::size_t rest = digits;
    while (rest < line.size() && (line[rest] == ' ' || line[rest] == '\t')) ++rest;
    if (digits == 0 || (rest < line.size() && line[rest] != ';')) fail("bad chunk size line");
    m_chunkLeft = size;
    m_state = size == 0 ? State::Trailer : State::Data;
}

void ChunkedBodyStreamBuf::readDataEnd() {
    int c = nextByte();
    if (c == '\r') c = nextByte();
    if (c < 0) fail("the connection ended before the last chunk");
    if (c != '\n') fail("chunk data longer than its size");
    m_state = State::Size;
}

void ChunkedBodyStreamBuf::readTrailer() {
    std::string line;
    for (int lines = 0; lines <= kMaxTrailerLines; ++lines) {
        if (!readLine(line)) fail("the connection ended in the trailer");
        if (line.empty()) {
            m_state = State::Done;
            return;
        }
    }
    fail("too many trailer lines");
}

ChunkedBodyStreamBuf::int_type ChunkedBodyStreamBuf::underflow() {
    for (;;) {
        switch (m_state) {
        case State::Size:
            readChunkSize();
            break;
        case State::Data: {
            if (!fill()) fail("the connection ended inside a chunk");
            const std::size_t n =
                static_cast<std::size_t>(std::min<unsigned long long>(m_chunkLeft, m_rawEnd - m_rawStart));
            char* start = m_raw.data() + m_rawStart;
            setg(start, start, start + n);
            m_rawStart += n;
            m_chunkLeft -= n;
            if (m_chunkLeft == 0) m_state = State::DataEnd;
            return traits_type::to_int_type(*start);
        }
        case State::DataEnd:
            readDataEnd();
            break;
        case State::Trailer:
            readTrailer();
            break;
        case State::Done:
            return traits_type::eof();
        case State::Failed:
            throw Poco::Net::MessageException("Chunked reply body: " + m_error);
        }
    }
}

ChunkedBodyInputStream::ChunkedBodyInputStream(ChunkedBodyStreamBuf::Source source)
    : std::istream(nullptr), m_buffer(std::move(source)) {
    rdbuf(&m_buffer);
}

} // namespace Nuvaro
