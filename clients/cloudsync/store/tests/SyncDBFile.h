#pragma once

// A sync database file in a fresh temp folder, prepared and inspected with
// plain SQL on a connection of its own (DBFileTest), beside whatever the test
// opens.

#include "DBFileTest.h"

namespace StoreTest {

class SyncDBFileTest : public CloudSyncTest::DBFileTest {
protected:
    SyncDBFileTest() : DBFileTest("syncclient.db") {}
};

} // namespace StoreTest
