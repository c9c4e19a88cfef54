#pragma once

// A bounded wait for a condition that another thread makes true.

#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <functional>

namespace CloudSyncTest {

// Polls `done` every 10 ms until it is true or `timeoutMs` passed; its last
// answer.
inline bool waitUntil(const std::function<bool()>& done, long timeoutMs = 5000) {
    Poco::Timestamp began;
    while (!done()) {
        if (began.elapsed() > timeoutMs * 1000)
            return done();
        Poco::Thread::sleep(10);
    }
    return true;
}

} // namespace CloudSyncTest
