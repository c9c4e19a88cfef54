// The limited stream every reply body of the worker is read through.

#include "LimitedInputStream.h"

#include <Poco/DeflatingStream.h>
#include <Poco/Exception.h>
#include <Poco/InflatingStream.h>
#include <Poco/StreamCopier.h>

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>

namespace EngineTest {
namespace {

using Nuvaro::Sync::LimitedInputStream;

TEST(LimitedInputStream, GivesAtMostTheLimitAndTellsWhenThereWasMore) {
    struct Case {
        std::size_t size;
        Poco::Int64 limit;
        std::size_t given;
        bool exceeded;
    };
    const Case cases[] = {
        {0, 0, 0, false},         {0, -1, 0, false},        {10, -1, 10, false},      {10, 10, 10, false},
        {10, 11, 10, false},      {11, 10, 10, true},       {10, 0, 0, true},         {20000, 8192, 8192, true},
        {20000, 20000, 20000, false}, {20001, 20000, 20000, true},
    };
    for (const Case& c : cases) {
        std::istringstream source(std::string(c.size, 'x'));
        LimitedInputStream limited(source, c.limit);
        std::string read;
        Poco::StreamCopier::copyToString(limited, read);
        EXPECT_EQ(read.size(), c.given) << c.size << " / " << c.limit;
        EXPECT_EQ(limited.count(), static_cast<Poco::Int64>(c.given));
        EXPECT_EQ(limited.exceeded(), c.exceeded) << c.size << " / " << c.limit;
        // Never more than one byte past the limit was taken from the source.
        source.clear();
        EXPECT_LE(static_cast<std::size_t>(source.tellg()), c.given + 1);
    }
}

// A source whose buffer throws after a few bytes, as a broken connection or
// bad gzip data does.
class FailingBuffer : public std::streambuf {
protected:
    int_type underflow() override {
        if (m_given)
            throw Poco::IOException("broken");
        m_given = true;
        setg(m_data, m_data, m_data + 3);
        return traits_type::to_int_type(m_data[0]);
    }

private:
    char m_data[3] = {'a', 'b', 'c'};
    bool m_given = false;
};

TEST(LimitedInputStream, ErrorsOfTheSourceReachTheReader) {
    FailingBuffer buffer;
    std::istream source(&buffer);
    source.exceptions(std::ios::badbit);
    LimitedInputStream limited(source, -1);
    std::string read;
    EXPECT_THROW(Poco::StreamCopier::copyToString(limited, read), Poco::IOException);
    EXPECT_FALSE(limited.exceeded());
}

// The ratio bound over an inflated stream: what comes out is bounded by what
// went in on the wire (times the ratio), or by the floor, whichever is more.
TEST(LimitedInputStream, RatioBoundFollowsTheBytesOnTheWire) {
    // 4 MiB of one letter packs into a few KiB: it inflates well over 100x.
    const std::string plain(4 << 20, 'z');
    std::ostringstream packedOut;
    Poco::DeflatingOutputStream deflater(packedOut, Poco::DeflatingStreamBuf::STREAM_GZIP);
    deflater << plain;
    deflater.close();
    const std::string packed = packedOut.str();
    const Poco::Int64 factor = static_cast<Poco::Int64>(plain.size() / packed.size());
    ASSERT_GT(factor, 100);
    struct Case {
        Poco::Int64 ratio;
        Poco::Int64 floor;
        bool exceeded;
    };
    const Case cases[] = {
        {100, 0, true},                                           // a bomb
        {factor * 2, 0, false},                                   // the ratio lets it through
        {100, static_cast<Poco::Int64>(plain.size()), false},     // the floor lets it through
        {100, static_cast<Poco::Int64>(plain.size()) - 1, true},  // one byte over the floor
        {1, 1 << 20, true},
    };
    for (const Case& c : cases) {
        std::istringstream source(packed);
        LimitedInputStream wire(source, -1);
        Poco::InflatingInputStream inflater(wire, Poco::InflatingStreamBuf::STREAM_GZIP);
        LimitedInputStream inflated(inflater, wire, c.ratio, c.floor);
        std::string read;
        Poco::StreamCopier::copyToString(inflated, read);
        EXPECT_EQ(inflated.exceeded(), c.exceeded) << c.ratio << " / " << c.floor;
        EXPECT_EQ(inflated.count(), static_cast<Poco::Int64>(read.size()));
        EXPECT_LE(inflated.count(), std::max(c.floor, c.ratio * wire.count())) << c.ratio << " / " << c.floor;
        if (c.exceeded)
            EXPECT_LT(read.size(), plain.size());
        else
            EXPECT_EQ(read, plain);
    }
}

} // namespace
} // namespace EngineTest
