#pragma once

// LimitedInputStream: an input stream that passes on the bytes of another
// stream, at most `limit` of them, and counts what it passed on. The worker
// reads every reply body through one, so that a reply without a length (or a
// gzip reply, counted after inflation) can never grow past the limit of its
// request: when the source holds more than `limit` bytes, this stream ends
// at the limit and exceeded() turns true. The source is then read one byte
// past the limit, never further.
//
// Example: over a source of 10 bytes, a limit of 4 gives 4 bytes and
// exceeded() true; a limit of 10 gives all 10 and exceeded() false; a limit
// of -1 gives every byte (a plain counter).
//
// Errors of the source reach the reader: this stream's exception mask holds
// badbit, so an exception thrown while filling the buffer (a time-out, bad
// gzip data, a broken chunk) passes through the reader's read. The source's
// own mask decides whether its buffer's exceptions reach this stream at all.
//
// One stream belongs to one reader on one thread.

#include <Poco/Types.h>

#include <istream>
#include <streambuf>

namespace Nuvaro {
namespace Sync {

class LimitedInputStream : public std::istream {
public:
    // limit -1: no limit.
    LimitedInputStream(std::istream& source, Poco::Int64 limit);
    LimitedInputStream(const LimitedInputStream&) = delete;
    LimitedInputStream& operator=(const LimitedInputStream&) = delete;

    // Bytes passed on so far.
    Poco::Int64 count() const { return m_buffer.count(); }
    // The source held more than `limit` bytes.
    bool exceeded() const { return m_buffer.exceeded(); }

private:
    class Buffer : public std::streambuf {
    public:
        Buffer(std::istream& source, Poco::Int64 limit);
        Poco::Int64 count() const { return m_count; }
        bool exceeded() const { return m_exceeded; }

    protected:
        int_type underflow() override;

    private:
        std::istream& m_source;
        const Poco::Int64 m_limit;
        Poco::Int64 m_count = 0;
        bool m_exceeded = false;
        char m_data[8192];
    };

    Buffer m_buffer;
};

} // namespace Sync
} // namespace Nuvaro
