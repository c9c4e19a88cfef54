#pragma once

#include <string>

namespace Nuvaro {
namespace Sync {

// Event numbers of the user-interface hook. The numbers are the contract with a
// front end, so the enumerators carry no names:
//   0  job phase begins          1  job item progress        2  job examines a folder
//   3  job phase ends            4  message for the user     5  share link created
//   6  deletes await approval    7  login failed / blocked   8  device session timed out
//   9  file browser requested    10 sync phase begins        11 sync item progress
//   12 folder-tree scan progress 13 sync phase ends          14 transfer job starts
//   15 transfer job finished     16 status changed           17 (never raised)
//   18 local sync data reset
enum uiEventType : int {};

// The UI event hook. The console program has no user interface, so the body
// drops every event: it returns at once, throws nothing, takes no lock and may
// be called from any thread. `text` is valid only during the call.
void uiPostEvent(uiEventType type, const std::string& text, int value);

} // namespace Sync
} // namespace Nuvaro
