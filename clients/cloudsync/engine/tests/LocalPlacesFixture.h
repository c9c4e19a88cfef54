#pragma once

// One device and the test server, for the cases of places the worker must
// never write (links, names this system cannot hold, leftovers of a crash):
// OneDeviceTest with server times and the skipped-item entries at hand. The
// delete approval is off: the trees are small, and one removal would be more
// than the share it lets through, holding every upload back.

#include "SyncDevice.h"

#include <Poco/Timestamp.h>

#include <string>

namespace EngineTest {

class LocalPlacesTest : public OneDeviceTest {
protected:
    const std::string kUser = SyncDevice::kUser;

    void SetUp() override {
        OneDeviceTest::SetUp();
        device->settings["skipdeleteapproval"] = "1";
    }
    // A server time of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
    static Poco::Timestamp serverTime(long seconds) { return Poco::Timestamp::fromEpochTime(1709287200 + seconds); }
    // The skipped-item entries whose message holds `text`.
    std::size_t skippedEntries(const std::string& text) {
        std::size_t count = 0;
        for (const auto& entry : activities(Nuvaro::Sync::FSActivity::TypeSkippedLocal))
            count += entry->message.find(text) != std::string::npos ? 1 : 0;
        return count;
    }
};

} // namespace EngineTest
