#include "LimitedInputStream.h"

#include <algorithm>

namespace Nuvaro {
namespace Sync {

LimitedInputStream::Buffer::Buffer(std::istream& source, Poco::Int64 limit, const LimitedInputStream* counted,
                                   Poco::Int64 floor)
    : m_source(source), m_limit(limit), m_counted(counted), m_floor(floor) {}

Poco::Int64 LimitedInputStream::Buffer::limit() const {
    if (!m_counted)
        return m_limit;
    return std::max(m_floor, m_limit * m_counted->count());
}

LimitedInputStream::Buffer::int_type LimitedInputStream::Buffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    std::streamsize want = sizeof(m_data);
    const Poco::Int64 bound = limit();
    if (bound >= 0) {
        Poco::Int64 left = bound - m_count;
        if (left <= 0) {
            // At the limit: one byte more in the source means it was too
            // much (unless reading it raised a ratio bound); the stream ends
            // here either way.
            if (m_exceeded || m_source.peek() == traits_type::eof())
                return traits_type::eof();
            left = limit() - m_count;
            if (left <= 0) {
                m_exceeded = true;
                return traits_type::eof();
            }
        }
        want = static_cast<std::streamsize>(std::min<Poco::Int64>(want, left));
    }
    m_source.read(m_data, want);
    const std::streamsize got = m_source.gcount();
    if (got <= 0)
        return traits_type::eof();
    m_count += got;
    setg(m_data, m_data, m_data + got);
    return traits_type::to_int_type(m_data[0]);
}

LimitedInputStream::LimitedInputStream(std::istream& source, Poco::Int64 limit)
    : std::istream(nullptr), m_buffer(source, limit, nullptr, 0) {
    rdbuf(&m_buffer);
    exceptions(std::ios::badbit);
}

LimitedInputStream::LimitedInputStream(std::istream& source, const LimitedInputStream& counted, Poco::Int64 ratio,
                                       Poco::Int64 floor)
    : std::istream(nullptr), m_buffer(source, ratio, &counted, floor) {
    rdbuf(&m_buffer);
    exceptions(std::ios::badbit);
}

} // namespace Sync
} // namespace Nuvaro
