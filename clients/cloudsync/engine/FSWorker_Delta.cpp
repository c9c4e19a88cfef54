// FSWorker: the delta of one sync folder, the server half's step after the
// folder list. The worker posts the folder's stored status set and receives
// the records that changed on the server since then, with the new status
// strings: `remotestatus` (what this delta brings the folder to) and
// `remotefullstatusset` (the server's whole status). The pass driver asks
// again, after applying, while the two differ (a server that sends its
// changes in rounds).
//
// Each record is built as its element ends (the delta of a large account is
// never held as maps of strings as well as records), and the records go to
// serverChanges only once every check of the reply passed. A record the
// record reader refuses is left out instead of failing the whole reply:
// failing it would stop the folder for good, since the server would send the
// same record at every pass.

#include "FSWorker.h"

#include "RequestText.h"
#include "SyncLog.h"

#include <Poco/Net/HTTPResponse.h>
#include <Poco/NumberParser.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const SYNC_PROTOCOL_VERSION = "2";

} // namespace

bool FSWorker::doGetSyncDelta(const std::string& folder, bool& gotReply) {
    const std::string name = "doGetSyncDelta";
    syncLog().trace(">>>> STEP 2. Getting Sync Delta Changes for " + folder);
    try {
        // A folder without a stored status set was never synced: it asks
        // with an empty status, for everything.
        std::string status;
        if (!db->getStatusSet(folder, status))
            return false;

        SyncRequest request = postRequest(name,
                                          "/app/sync/getsyncdelta?friendly=" + RequestText::formValue(friendlyName) +
                                              "&name=" + RequestText::formValue(hostname) +
                                              "&path=" + RequestText::formValue(folder),
                                          "status=" + RequestText::statusFormValue(status));
        request.notPreparedText = " ERROR Preparing HTTP";
        request.acceptGzip = true;
        request.maxContentLength = replyLimits.delta;
        request.maxInflateRatio = replyLimits.deltaInflateRatio;
        request.inflateFloor = replyLimits.deltaInflateFloor;

        SyncReply reply;
        bool traced = false;
        auto traceReceived = [&] {
            if (!traced)
                syncLog().trace(name + " Got Sync Delta " + " size: " + std::to_string(reply.contentLength));
            traced = true;
        };
        // Each record becomes its FSSyncRecord as its element ends, so the
        // reply is never held as maps of strings; what was built is used only
        // when the whole reply passes (acceptDeltaReply).
        DeltaRecords records;
        const std::string profile = setting("profile");
        NuvaroXmlHandler handler("record");
        handler.setRecordSink([&](Nuvaro::Record& server) {
            ++records.received;
            FSSyncRecordPtr record(new FSSyncRecord());
            if (record->fromSAXRecord(profile, folder, server, networkFolderName, teamFolderName, teamFolderAccount))
                records.accepted.push_back(record);
            else
                records.refused.emplace_back(RequestText::recordValue(server, "fullpath"),
                                             RequestText::recordValue(server, "friendly"));
        });
        request.readBody = [&](std::istream& body) {
            traceReceived();
            NuvaroXmlParser::parseWith(handler, body);
        };
        syncLog().trace(name + "GetSyncDelta: " + request.uri + " Status: " + status);
        sendSyncRequest(request, reply);
        if (reply.outcome == SyncReply::NotPrepared)
            return false;
        if (reply.status != Poco::Net::HTTPResponse::HTTP_OK) {
            reportError("Error: Bad HTTP Status when getting server changes", "", "", FSActivity::TypeError);
            flags.loggedIn = false;
            return false;
        }
        traceReceived();
        if (reply.outcome == SyncReply::TooLarge || reply.outcome == SyncReply::TooInflated) {
            reportDeltaTooLarge(reply);
            flags.loggedIn = false;
            return false;
        }
        return acceptDeltaReply(records, handler.getMetaData()).apply(gotReply);
    } catch (...) {
        syncLog().error(RequestText::exceptionLine(name, " "));
        flags.loggedIn = false;
        return false;
    }
}

void FSWorker::reportDeltaTooLarge(const SyncReply& reply) {
    const std::string name = "doGetSyncDelta";
    if (reply.outcome == SyncReply::TooLarge) {
        syncLog().error(name + " Reply over " + std::to_string(replyLimits.delta) + " bytes on the wire (" +
                        (reply.contentLength > replyLimits.delta ? "announced " + std::to_string(reply.contentLength)
                                                                 : "read past it") +
                        ")");
        reportError("Error: Too big server Response when getting server changes, greater than 500 MB", "", "",
                    FSActivity::TypeError);
        return;
    }
    const std::string ratio = std::to_string(replyLimits.deltaInflateRatio);
    syncLog().error(name + " Reply inflating to over " + ratio + " times its " + std::to_string(reply.received) +
                    " bytes on the wire");
    reportError("Error: Too big server Response when getting server changes, inflates over " + ratio +
                    " times its size",
                "", "", FSActivity::TypeError);
}

FSWorker::ReplyStep FSWorker::acceptDeltaReply(DeltaRecords& records, const Nuvaro::RecordList& meta) {
    using RequestText::recordValue;
    pass.dropDelta();
    if (meta.empty() || recordValue(meta.front(), "status") != "SERVEROK") {
        syncLog().error(std::string("doGetSyncDelta") + " Bad Server Status for getsyncdelta XML ");
        return {};
    }
    const Nuvaro::Record& head = meta.front();
    std::string remote = recordValue(head, "remotestatus");
    std::string full = recordValue(head, "remotefullstatusset");
    if (remote.empty() && !full.empty())
        remote = full;
    if (full.empty())
        full = remote;

    // numrecords counts what the server sent, refused records included.
    Poco::Int64 numRecords = 0;
    if (!Poco::NumberParser::tryParse64(recordValue(head, "numrecords"), numRecords, ',')) {
        reportError("Error: Bad Server Response (XML NumRecords) when getting changes", "", "",
                    FSActivity::TypeError);
        return {};
    }
    if (numRecords != records.received) {
        reportError("Error: Bad Server Response (Download NumRecord Mismatch) when getting changes", "", "",
                    FSActivity::TypeError);
        return {};
    }

    pass.localStatus = recordValue(head, "localstatus");
    pass.remoteStatus = remote;
    pass.remoteFullStatusSet = full;
    pass.remotePeer = recordValue(head, "remotepeer");
    if (recordValue(head, "syncprotocolversion") != SYNC_PROTOCOL_VERSION) {
        reportError("Error: Server Protocol version mismatch! Please upgrade server and client to latest version", "",
                    "", FSActivity::TypeError);
        curInterval = 4 * syncFrequency.load();
        return {};
    }

    for (const auto& refused : records.refused)
        reportError("Error: Bad Server Response (Bad FS Record) when getting changes", refused.first,
                    refused.second, FSActivity::TypeError);
    syncLog().debug("FS Need to Download : " + std::to_string(records.accepted.size()));
    pass.serverChanges.swap(records.accepted);
    flags.serverOk = true;
    curInterval = syncFrequency.load();
    return {true, ReplyStep::Flag::Set};
}

} // namespace Sync
} // namespace Nuvaro
