#pragma once

// The body of a reply sent with "Transfer-Encoding: chunked", read with its
// framing checked. Poco's own chunked stream takes a connection that closes
// before the last (zero-length) chunk, or a chunk shorter than its announced
// size, for the normal end of the body; a download would then keep a file
// that was cut off. This reader reports both as errors.
//
// The framing it reads (line ends are CR LF; a bare LF is accepted too):
//
//     5;ext=1       chunk size in hexadecimal, optional extensions after ";"
//     hello         exactly that many bytes of data, then a line end
//     0             the last chunk: size 0
//     Trailer: x    optional trailer lines, ignored
//                   an empty line ends the body
//
// Reading the data through the stream gives the bytes of the chunks, joined.
// The end of the stream is reached only after the empty line that closes the
// body. Anything else (the source ends early, a size that is not hexadecimal
// or too large, a chunk not followed by a line end, an over-long line) makes
// the next read throw Poco::Net::MessageException from the stream buffer; an
// exception of the source (a time-out, a reset) passes through the same way.
// Either sets the stream's bad flag (the exception reaches the caller only
// when the stream's exception mask asks for it), and errorText() tells why.
//
// One reader belongs to one reply on one thread.

#include <Poco/Net/HTTPSession.h>

#include <functional>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

namespace Nuvaro {

class ChunkedBodyStreamBuf : public std::streambuf {
public:
    // Reads up to `length` raw bytes of the connection into `buffer`; returns
    // how many, 0 at the end of the connection. May throw (time-out, reset).
    using Source = std::function<int(char* buffer, int length)>;

    explicit ChunkedBodyStreamBuf(Source source);

    // The raw bytes of a session after its reply head: first what the
    // session has buffered already, then the session's socket.
    static Source sessionSource(Poco::Net::HTTPSession& session);

    // True once the empty line after the last chunk was read.
    bool complete() const { return m_state == State::Done; }
    // Why the body was refused; "" while nothing went wrong.
    const std::string& errorText() const { return m_error; }

protected:
    int_type underflow() override;

private:
    enum class State { Size, Data, DataEnd, Trailer, Done, Failed };

    // The next raw byte, or -1 at the end of the source.
    int nextByte();
    // Makes raw bytes available; false at the end of the source.
    bool fill();
    // Reads one line (without its line end); false at the end of the source.
    bool readLine(std::string& line);
    void readChunkSize();
    void readDataEnd();
    void readTrailer();
    [[noreturn]] void fail(const std::string& reason);

    Source m_source;
    std::vector<char> m_raw;
    std::size_t m_rawStart = 0;
    std::size_t m_rawEnd = 0;
    State m_state = State::Size;
    unsigned long long m_chunkLeft = 0;
    std::string m_error;
};

class ChunkedBodyInputStream : public std::istream {
public:
    explicit ChunkedBodyInputStream(ChunkedBodyStreamBuf::Source source);

    bool complete() const { return m_buffer.complete(); }
    const std::string& errorText() const { return m_buffer.errorText(); }

private:
    ChunkedBodyStreamBuf m_buffer;
};

} // namespace Nuvaro
