// The limited stream every reply body of the worker is read through.

#include "LimitedInputStream.h"

#include <Poco/Exception.h>
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

} // namespace
} // namespace EngineTest
