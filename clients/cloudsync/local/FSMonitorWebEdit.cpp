#include "FSMonitorWebEdit.h"

namespace Nuvaro {
namespace Sync {

InotifyWatcher::Options FSMonitorWebEdit::webEditOptions() {
    InotifyWatcher::Options options;
    options.logger = "FSMonitorWebEdit";
    options.startText = "FS Monitoring  ";
    options.pipeFailedText = "FSMonitorWebEdit:: pipe creation failed!";
    options.shutdownText = "Shutdown FSMonitorWebEdit Thread";
    options.exitedText = "FSMonitorWebEdit Thread exited";
    return options;
}

FSMonitorWebEdit::FSMonitorWebEdit(const std::string& path, Poco::NotificationQueue* queue,
                                   const InotifyWatcher::Options& options)
    : FSMonitor(path, queue, options) {}

FSMonitorWebEdit::~FSMonitorWebEdit() = default;

} // namespace Sync
} // namespace Nuvaro
