#pragma once

// RefreshLockActivity: keeps the worker's server sync lock alive. Once
// started on a pool thread it sends GET "/app/sync/refreshlock?&name=" + the
// encoded lock name (the device identifier) every 60 seconds (30 steps of
// 2000 ms) through the connector's request procedure (exchange), as
// HTTP/1.0 without a proxy and with a 10-second time-out, until it is
// stopped. A refusal is logged ("Background REFRESHLOCK failed. Server says: "
// + reason); failures never end the activity.
//
// Lifecycle: construct (stopped, no I/O) -> prepareRequest (false when the
// connector is not logged in: the owner then never starts it) ->
// activity().start(pool) -> stop() + activity().wait() -> destroy. stop()
// ends run() at once, also while a refresh waits for its reply (the request
// is cut short), so the owner never waits for the time-out. The destructor
// stops and waits as well.
//
// Threads: the owner's thread constructs, prepares, starts, stops and
// destroys; run() and doRefreshLock() run on the pool thread. The connector
// copy and the path are written only by prepareRequest, before the start:
// the pool thread never touches the owner's connector, which may log in
// again meanwhile.

#include "PoolActivity.h"
#include "RequestCanceller.h"

#include "nuvarocbfs_Network.h"

#include <Poco/Event.h>

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>

namespace Nuvaro {
namespace Sync {

class RefreshLockActivity {
public:
    static const long DEFAULT_STEP_MS = 2000;
    static const int DEFAULT_STEPS = 30;
    static const int TIMEOUT_SECONDS = 10;

    explicit RefreshLockActivity(const std::string& name);
    virtual ~RefreshLockActivity();
    RefreshLockActivity(const RefreshLockActivity&) = delete;
    RefreshLockActivity& operator=(const RefreshLockActivity&) = delete;

    PoolActivity<RefreshLockActivity>& activity() { return m_activity; }

    // The wait between refreshes: `steps` sleeps of `stepMs` (the defaults
    // give 60 s). Set before the start.
    void setInterval(long stepMs, int steps);

    // Takes a copy of the connector (server, headers, login cookies) for the
    // refreshes. False, nothing prepared, when the connector is missing or
    // not logged in.
    bool prepareRequest(boost::shared_ptr<NuvaroConnector>& connector);

    // Sends one refresh and reads the reply; logs every failure, throws
    // nothing.
    void doRefreshLock();

    // The activity's body.
    void run();

    // Asks the activity to end and cuts a refresh in flight short; wait with
    // activity().wait() afterwards. Any thread; harmless twice.
    void stop();

private:
    // Sleeps one wait between refreshes; false when stopped meanwhile.
    bool pause();

    PoolActivity<RefreshLockActivity> m_activity;
    std::unique_ptr<NuvaroConnector> m_connector;
    // "/app/sync/refreshlock?&name=" + the encoded name.
    std::string m_path;
    const std::string m_name;

    long m_stepMs = DEFAULT_STEP_MS;
    int m_steps = DEFAULT_STEPS;
    // Set by stop(): ends a pause at once.
    Poco::Event m_wake{Poco::Event::EVENT_MANUALRESET};
    RequestCanceller m_canceller;
};

} // namespace Sync
} // namespace Nuvaro
