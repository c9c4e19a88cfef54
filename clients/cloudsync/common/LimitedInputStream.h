#pragma once

// LimitedInputStream: an input stream that passes on the bytes of another
// stream, at most `limit` of them, and counts what it passed on. The worker
// reads every reply body through one, so that a reply without a length can
// never grow past the limit of its request: when the source holds more than
// `limit` bytes, this stream ends at the limit and exceeded() turns true. The
// source is then read one byte past the limit, never further.
//
// Example: over a source of 10 bytes, a limit of 4 gives 4 bytes and
// exceeded() true; a limit of 10 gives all 10 and exceeded() false; a limit
// of -1 gives every byte (a plain counter).
//
// A ratio bound instead follows another LimitedInputStream (`counted`): the
// limit is max(floor, ratio x counted.count()), taken again at every refill.
// The worker reads an inflated body this way, with `counted` being the bytes
// that came on the wire, so that a small compressed reply cannot inflate
// without end (a compression bomb) while a large honest one is bounded by
// what came, not by a fixed number. Since the source reads `counted` ahead of
// what it gives, the bound can only grow while the source is read; at the
// limit the source is asked for one more byte (which may read more of
// `counted` and so raise the limit) before the stream is found exceeded.
//
// Example: ratio 100, floor 1000: 20 bytes on the wire may inflate to 2000
// bytes; 5 bytes on the wire may still inflate to 1000.
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
    // The ratio bound over `counted`, which must outlive this stream.
    LimitedInputStream(std::istream& source, const LimitedInputStream& counted, Poco::Int64 ratio,
                       Poco::Int64 floor);
    LimitedInputStream(const LimitedInputStream&) = delete;
    LimitedInputStream& operator=(const LimitedInputStream&) = delete;

    // Bytes passed on so far.
    Poco::Int64 count() const { return m_buffer.count(); }
    // The source held more than the limit.
    bool exceeded() const { return m_buffer.exceeded(); }

private:
    class Buffer : public std::streambuf {
    public:
        Buffer(std::istream& source, Poco::Int64 limit, const LimitedInputStream* counted, Poco::Int64 floor);
        Poco::Int64 count() const { return m_count; }
        bool exceeded() const { return m_exceeded; }

    protected:
        int_type underflow() override;

    private:
        // The limit now; -1 none.
        Poco::Int64 limit() const;

        std::istream& m_source;
        // A fixed limit, or the ratio when m_counted is set.
        const Poco::Int64 m_limit;
        const LimitedInputStream* const m_counted;
        const Poco::Int64 m_floor;
        Poco::Int64 m_count = 0;
        bool m_exceeded = false;
        char m_data[8192];
    };

    Buffer m_buffer;
};

} // namespace Sync
} // namespace Nuvaro
