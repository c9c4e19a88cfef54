#include "ActiveThreadContext.h"

#include <Poco/Exception.h>

namespace Nuvaro {
namespace Sync {

ActiveThreadContext::ActiveThreadContext()
    : mode(MODE_UPLOAD), chunked(false), jobType(0), connectorIndex(-1), ok(false) {}

ActiveThreadContext::~ActiveThreadContext() = default;

bool ActiveThreadContext::prepareResult(ActiveThreadContext& result) const {
    result = *this;
    result.ok = false;
    result.error = "";
    result.sent = LocalFileVersion();
    if (mode != MODE_UPLOAD && mode != MODE_DOWNLOAD) {
        result.error = "Unknown Mode";
        return false;
    }
    if (!connector)
        throw Poco::NullPointerException("The transfer job has no connector");
    return true;
}

} // namespace Sync
} // namespace Nuvaro
