#pragma once

// ActiveThreadContext: one transfer job of the transfer pool (FSSimulWorker),
// an upload or a download of one file. The producer (a pass step of the sync
// worker, a job activity) fills the description; the pool's addJob fills
// `connector` and `connectorIndex` from the slot it gives the job; the
// transfer body runs on a pool thread with its own copy and returns a copy
// holding the result (`ok`, `error`, and for an upload `sent`).
//
// A plain value, copied member-wise (the embedded record and entry
// included): every copy belongs to one thread at a time. The connector is
// shared with the pool's slot, which no other job uses while this one runs.

#include "FOOfflineEntry.h"
#include "FSSyncRecord.h"

#include "nuvarocbfs_Network.h"

#include <boost/shared_ptr.hpp>

#include <string>

namespace Nuvaro {
namespace Sync {

class ActiveThreadContext {
public:
    // Values of `mode`.
    static constexpr int MODE_UPLOAD = 0;
    static constexpr int MODE_DOWNLOAD = 1;

    // Mode upload, every text empty, no connector, not chunked, a default
    // record and entry, job type 0, slot -1, ok false.
    ActiveThreadContext();
    ActiveThreadContext(const ActiveThreadContext& other) = default;
    ActiveThreadContext& operator=(const ActiveThreadContext& other) = default;
    virtual ~ActiveThreadContext();

    // The start of every transfer body: `result` becomes a copy of this
    // context with ok false, no error text and no version sent. False, with
    // the error "Unknown Mode", for a mode other than upload or download (the
    // body returns that result at once); Poco::NullPointerException for a
    // job without a connector.
    bool prepareResult(ActiveThreadContext& result) const;

    // 0 upload, 1 download; any other value is refused by the transfer body
    // ("Unknown Mode").
    int mode;
    // Upload: the server folder to upload into. Download: the server path of
    // the file (the download's "filepath").
    std::string remotePath;
    // Upload: the local file to send. Download: the local file to write.
    std::string localFile;
    // The slot's logged-in connector; empty until addJob.
    boost::shared_ptr<NuvaroConnector> connector;
    // Upload in pieces (files above 20 MiB); downloads ignore it.
    bool chunked;
    // The item's sync record (sync worker jobs): name, size, modification
    // time, attributes, server and local paths, friendly name.
    FSSyncRecord record;
    // The item's job row (job activity jobs); default for the sync worker.
    FOOfflineEntry entry;
    // Job downloads: the remote file's name; empty from the sync worker.
    std::string fileName;
    // Job downloads: the file written before it becomes localFile; empty
    // from the sync worker.
    std::string tempPath;
    // Sync type of the job that queued the transfer (0 network folder, 1
    // backup); not used by the sync worker.
    int jobType;
    // The pool slot the job runs on; set by addJob.
    int connectorIndex;
    // Result: the transfer body's verdict.
    bool ok;
    // Result: the failure text, "" on success.
    std::string error;
    // Result of a successful upload: the version of the file the server
    // stored (its size and modification time when it was sent), which the
    // callbacks record instead of the file as it is by then. Not known
    // otherwise.
    LocalFileVersion sent;
};

} // namespace Sync
} // namespace Nuvaro
