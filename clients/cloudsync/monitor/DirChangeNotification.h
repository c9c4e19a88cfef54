#pragma once

// Something changed under a watched folder. Carries no detail: the receiver
// (the sync worker, the web-edit worker) looks at the whole tree again. The
// change monitors post one only while the target queue is empty, so a burst
// of changes costs one notification; the worker also posts one itself (a
// requested scan, a failed upload).

#include <Poco/Notification.h>

namespace Nuvaro {
namespace Sync {

class DirChangeNotification : public Poco::Notification {
public:
    DirChangeNotification();
    ~DirChangeNotification() override;
};

} // namespace Sync
} // namespace Nuvaro
