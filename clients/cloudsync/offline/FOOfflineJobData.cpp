#include "FOOfflineJobData.h"

namespace Nuvaro {
namespace Sync {

FOOfflineJobData::FOOfflineJobData() : syncType(TYPE_UNSET), recurse(false), remoteDelete(false), sendEmail(false) {}

FOOfflineJobData::FOOfflineJobData(const std::string& remotePath_, const std::string& localLinkPath_, int syncType_,
                                   bool recurse_, const std::string& schedule_, const std::string& lastRun_,
                                   bool remoteDelete_, bool sendEmail_)
    : remotePath(remotePath_), localLinkPath(localLinkPath_), syncType(syncType_), recurse(recurse_),
      schedule(schedule_), lastRun(lastRun_), remoteDelete(remoteDelete_), sendEmail(sendEmail_) {}

FOOfflineJobData::~FOOfflineJobData() = default;

} // namespace Sync
} // namespace Nuvaro
