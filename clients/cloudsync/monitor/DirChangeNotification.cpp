#include "DirChangeNotification.h"

namespace Nuvaro {
namespace Sync {

DirChangeNotification::DirChangeNotification() = default;

DirChangeNotification::~DirChangeNotification() = default;

} // namespace Sync
} // namespace Nuvaro
