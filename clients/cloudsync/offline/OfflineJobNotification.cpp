#include "OfflineJobNotification.h"

namespace Nuvaro {
namespace Sync {

OfflineJobNotification::OfflineJobNotification(int kind_, const FOOfflineJobData& job_) : kind(kind_), job(job_) {}

OfflineJobNotification::~OfflineJobNotification() = default;

} // namespace Sync
} // namespace Nuvaro
