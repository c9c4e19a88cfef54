#pragma once

// Asks the sync worker for a folder scan even when file-change notifications
// are switched off (setting "ignorefilechangenotifications"); posted by
// FSWorker::fileChanged. Carries no data.

#include <Poco/Notification.h>

namespace Nuvaro {
namespace Sync {

class ForceDirChangeNotification : public Poco::Notification {
public:
    ForceDirChangeNotification();
    ~ForceDirChangeNotification() override;
};

} // namespace Sync
} // namespace Nuvaro
