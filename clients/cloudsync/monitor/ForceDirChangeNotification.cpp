#include "ForceDirChangeNotification.h"

namespace Nuvaro {
namespace Sync {

ForceDirChangeNotification::ForceDirChangeNotification() = default;

ForceDirChangeNotification::~ForceDirChangeNotification() = default;

} // namespace Sync
} // namespace Nuvaro
