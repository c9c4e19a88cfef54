#include "ActiveThreadContext.h"

namespace Nuvaro {
namespace Sync {

ActiveThreadContext::ActiveThreadContext()
    : mode(MODE_UPLOAD), chunked(false), jobType(0), connectorIndex(-1), ok(false) {}

ActiveThreadContext::~ActiveThreadContext() = default;

} // namespace Sync
} // namespace Nuvaro
