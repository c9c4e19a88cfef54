#include "JobEntries.h"

#include "ConsoleConfig.h"

#include <boost/shared_ptr.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Nuvaro {
namespace Sync {

namespace {

typedef std::vector<boost::shared_ptr<FOOfflineJobData>> StoredJobs;

// A decimal integer written as nothing but an optional "-" and digits that
// fits an int.
bool parseWholeNumber(const std::string& text, int& value) {
    std::string::size_type digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    errno = 0;
    long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

std::vector<std::string> splitFields(const std::string& text) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    while (true) {
        std::string::size_type end = text.find('|', start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

bool samePaths(const FOOfflineJobData& a, const FOOfflineJobData& b) {
    return a.localLinkPath == b.localLinkPath && a.remotePath == b.remotePath;
}

bool sameOptions(const FOOfflineJobData& a, const FOOfflineJobData& b) {
    return a.syncType == b.syncType && a.recurse == b.recurse && a.schedule == b.schedule &&
           a.remoteDelete == b.remoteDelete && a.sendEmail == b.sendEmail;
}

std::string pair(const FOOfflineJobData& job) {
    return job.localLinkPath + " <--> " + job.remotePath;
}

StoredJobs storedJobs(FOOfflineDB& db) {
    StoredJobs jobs;
    db.getAllFOJobRecord(jobs);
    return jobs;
}

} // namespace

bool parseJobEntry(const std::string& text, FOOfflineJobData& job, JobEntryError& error) {
    std::vector<std::string> fields = splitFields(text);
    if (fields.size() != 6) {
        error = JobEntryError::BadFieldCount;
        return false;
    }
    int type = 0;
    if (!parseWholeNumber(fields[2], type)) {
        error = JobEntryError::BadType;
        return false;
    }
    job = FOOfflineJobData(fields[1], fields[0], type, fields[4] == "1", fields[3], "", fields[5] == "1", false);
    return true;
}

JobEntryError readJobEntries(const Nuvaro::Data::VariantRow& config, std::vector<FOOfflineJobData>& jobs,
                             std::string& where) {
    jobs.clear();
    const std::string countText = configText(config, "offline_folder_count");
    int count = 0;
    if (!countText.empty() && !parseWholeNumber(countText, count)) {
        where = countText;
        return JobEntryError::BadCount;
    }
    for (int i = 1; i <= count; ++i) {
        const std::string name = "offline_folder_" + std::to_string(i);
        JobEntryError error = JobEntryError::Missing;
        FOOfflineJobData job;
        if (!config.hasField(name) || !parseJobEntry(configText(config, name), job, error)) {
            jobs.clear();
            where = name;
            return error;
        }
        jobs.push_back(job);
    }
    return JobEntryError::None;
}

void reconcileJobEntries(FOOfflineDB& db, const std::vector<FOOfflineJobData>& entries, std::ostream& console) {
    if (entries.empty()) {
        db.deleteAllJobRecords();
        return;
    }
    for (const boost::shared_ptr<FOOfflineJobData>& stored : storedJobs(db)) {
        bool configured = false;
        for (const FOOfflineJobData& entry : entries)
            configured = configured || samePaths(*stored, entry);
        if (!configured) {
            console << "Deleting Offline Folder: " << pair(*stored) << std::endl;
            db.FODeleteJobRecord(stored.get());
        }
    }
    // One reading for every entry: an entry is compared with the jobs as they
    // were before the entries were applied.
    const StoredJobs stored = storedJobs(db);
    for (const FOOfflineJobData& entry : entries) {
        boost::shared_ptr<FOOfflineJobData> match;
        for (const boost::shared_ptr<FOOfflineJobData>& job : stored) {
            if (!match && samePaths(*job, entry))
                match = job;
        }
        if (match && sameOptions(*match, entry))
            continue;
        FOOfflineJobData job = entry;
        bool storedOk;
        if (match) {
            console << "Updating Offline Folder: " << pair(entry) << std::endl;
            storedOk = db.FOUpdateJobRecord(&job);
        } else {
            console << "Adding New Offline Folder: " << pair(entry) << std::endl;
            storedOk = db.FOAddJobRecord(&job);
        }
        if (!storedOk)
            console << "ERROR: Failed to store Offline Folder: " << pair(entry) << std::endl;
    }
}

} // namespace Sync
} // namespace Nuvaro
