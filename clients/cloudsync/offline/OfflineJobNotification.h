#pragma once

// The message that the application runner posts to the job manager's queue.

#include "FOOfflineJobData.h"

#include <Poco/Notification.h>

namespace Nuvaro {
namespace Sync {

// Reference counted (Poco::Notification): the poster creates it, enqueues it
// and releases its reference; the job manager releases it after handling.
// Constant after construction, so the two threads that hold it never race.
class OfflineJobNotification : public Poco::Notification {
public:
    // What the job manager is asked to do. The numbers are those the runner
    // posts; the manager takes any other kind from the queue and ignores it.
    enum Kind : int {
        KIND_ADD_JOB = 0,     // run `job` now, or after the running job; not twice
        KIND_STOP_ALL = 4,    // kill every running job and wait for it
        KIND_RUN_MANUAL = 5,  // run every stored job whose schedule is "manual"
    };

    // `job` is read only for KIND_ADD_JOB; the other kinds carry an empty record.
    explicit OfflineJobNotification(int kind, const FOOfflineJobData& job = FOOfflineJobData());

    const int kind;
    const FOOfflineJobData job;

protected:
    ~OfflineJobNotification() override;
};

} // namespace Sync
} // namespace Nuvaro
