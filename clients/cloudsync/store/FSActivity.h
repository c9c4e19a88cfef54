#pragma once

// One entry of the user-visible activity log: what happened, when, and to which
// item. The sync database keeps the entries in its ACTIVITY table
// (FSSyncDB_Activity.cpp); the offline-job database stores the same form.
// ActivityRow reads and writes those rows for both.

#include <Poco/DateTime.h>

#include <cstdint>
#include <string>

namespace Nuvaro {
namespace Sync {

// A plain value: a producer builds one on the heap, hands the shared pointer to
// FSSyncDB::activityAdd and lets it go; a listing builds one per row. No lock:
// an entry belongs to the one thread that handles it at a time.
class FSActivity {
public:
    // Severity. Every entry the program creates has LevelNormal.
    enum Level : std::int32_t {
        LevelLow = 1,
        LevelNormal = 2,
        LevelHigh = 3,
    };

    // Kind of event; the numbers are stored in the TYPE column and shown to
    // the front end, so they never change.
    enum Type : std::int32_t {
        TypeDownload = 1,       // a server file was placed in the local folder
        TypeUpload = 2,         // a local file was uploaded
        TypeConflict = 3,       // a conflict was found and a conflict copy made
        TypeDelete = 4,         // an item was deleted after a delete on the other side
        TypeError = 5,          // a sync operation failed
        TypeUploadFailure = 6,  // an upload or a batch send failed
        TypeSkippedLocal = 7,   // the folder scan left a local item out
    };

    // Conflicts, errors, upload failures and skipped local files stay in the
    // log until a caller clears their type; every other type is "ordinary"
    // and pruned by age once there are too many.
    static bool isLasting(Type type);

    // A new event dated now (UTC), not stored yet (item id 0).
    FSActivity(Level level, Type type, const std::string& message, const std::string& fullPath,
               const std::string& friendlyName);

    // An entry read back from a row. `date` must be UTC text in the sortable
    // form "YYYY-MM-DD hh:mm:ss"; any other text throws Poco::SyntaxException
    // (the parser alone would read "garbage" as the year 0).
    FSActivity(int itemId, Level level, Type type, const std::string& message, const std::string& fullPath,
               const std::string& date, const std::string& friendlyName);

    // Dated now, empty texts, item id 0; the user sets level and type.
    FSActivity();

    // The date as stored: UTC in the sortable form, whole seconds.
    std::string dateText() const;

    Poco::DateTime date;           // when the event happened, UTC
    Level level = LevelNormal;
    Type type = static_cast<Type>(0);
    std::string message;           // the text shown to the user
    std::string fullPath;          // the item's path as the producer gave it
    int itemId = 0;                // ITEMID of the stored row; 0 until stored
    std::string friendlyName;      // owner of the item, or "Local File"
};

} // namespace Sync
} // namespace Nuvaro
