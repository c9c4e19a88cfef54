#pragma once

#include "nuvarocbfs_Network.h"

#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <istream>
#include <string>

namespace Nuvaro {
namespace Sync {

// One request of the worker on a fresh HTTP(S) session, for sendSyncRequest.
struct SyncRequest {
    // Name at the start of the log lines ("doLock").
    std::string operation;
    std::string method;
    // Path and query, values already encoded.
    std::string uri;
    // A form body (POST, "application/x-www-form-urlencoded", with its
    // length, not chunked); empty: none.
    std::string body;
    // Error line when the connector is not logged in: operation + this
    // text.
    std::string notPreparedText = "ERROR Preparing HTTP";
    // The connector whose login (headers, cookies, server) the request
    // uses; empty: the worker's own. A transfer job's callbacks pass the
    // job's connector.
    boost::shared_ptr<NuvaroConnector> via;
    // Offer gzip; a reply whose Content-Encoding is exactly "gzip" is
    // inflated.
    bool acceptGzip = false;
    // Most bytes of the body on the wire, announced or read (before
    // inflation): a reply announcing more is not read, one that brings
    // more (without a length) is read no further; both give the outcome
    // TooLarge. -1: no limit.
    Poco::Int64 maxContentLength = 104857600;
    // Most bytes an inflated body may give: max(inflateFloor,
    // maxInflateRatio x the bytes read on the wire so far), checked as
    // it inflates (a compression bomb is read no further); more gives
    // the outcome TooInflated.
    Poco::Int64 maxInflateRatio = 100;
    Poco::Int64 inflateFloor = 67108864;
    // When set, the (inflated) body stream of a reply with status 200 is
    // handed to it instead of being read into SyncReply::body (a large
    // delta is parsed as a stream); the body of any other status is
    // still read into SyncReply::body. Its exceptions pass through
    // sendSyncRequest, unless the body went past one of its bounds
    // (outcome TooLarge or TooInflated then).
    std::function<void(std::istream&)> readBody;
};
struct SyncReply {
    enum Outcome { NotPrepared, TooLarge, TooInflated, Received };
    Outcome outcome = NotPrepared;
    int status = 0;
    // As announced; -1 when the reply had no length.
    Poco::Int64 contentLength = -1;
    // Bytes of the body read on the wire (before inflation).
    Poco::Int64 received = 0;
    std::string body;
};

} // namespace Sync
} // namespace Nuvaro
