#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ESM.h"
#include "deployment.h"
#include "diag.h"
#include "http.h"
#include "http_response.h"
#include "service_metrics.h"
#include "service_settings.h"

using servicemetrics::Step;

namespace {

const unsigned short kDataPort = 7560;
const char* const kEndpointGroup = "224.5.6.7";
const unsigned char kEndpointTTL = 0;
const char* const kZoneGroup = "225.5.6.7";
const unsigned char kZoneTTL = 1;
const unsigned char kAboneTTL = 255;
const char* const kRule = "=====================================================\n";

// The proxy code needs time to arrive on the node before it can be started.
void waitForCodeLoad() {
    for (int i = 0; i < 50; ++i) usleep(200000);
}

std::string loaderPrefix(const char* varnoPath, const std::string& node) {
    return std::string(varnoPath) + "/abone/sc.linux -f anee2 " + node + " LOAD X=http://" +
           kCodeServerHost;
}

}  // namespace

ESMProxyInitor::ESMProxyInitor(std::vector<TransportEndPoint>& epproxyvec,
                               std::vector<TransportEndPoint>& ezproxyvec,
                               std::function<void()> loadWait)
    : mEPProxyVec(epproxyvec),
      mZoneProxyVec(ezproxyvec),
      mLoadWait(loadWait ? std::move(loadWait) : waitForCodeLoad) {
    std::vector<TransportEndPoint> membervec = mEPProxyVec;
    membervec.insert(membervec.end(), mZoneProxyVec.begin(), mZoneProxyVec.end());
    mId = static_cast<uint32_t>(Msg::generateId());
    mVersion = static_cast<uint32_t>(Msg::generateVersion());
    for (size_t j = 0; j < membervec.size(); ++j) {
        // Position 0 is told about nobody; every other proxy about all the others.
        std::vector<TransportEndPoint> members;
        if (j != 0) {
            members = membervec;
            members.erase(members.begin() + static_cast<std::ptrdiff_t>(j));
        }
        const bool up = membervec[j].isAboneNode() ? bringUpAbone(j, membervec, members)
                                                   : bringUpRunning(j, membervec, members);
        if (!up) return;
    }
    mInitOk = true;
}

void ESMProxyInitor::record(size_t j, const MulticastEndPoint& t) {
    if (j < mEPProxyVec.size()) {
        mEPTVec.push_back(t);
    } else {
        mZoneTVec.push_back(t);
    }
}

bool ESMProxyInitor::bringUpAbone(size_t j, const std::vector<TransportEndPoint>& membervec,
                                  const std::vector<TransportEndPoint>& members) {
    const TransportEndPoint& p = membervec[j];
    const char* varnoPath = getenv("VARNO_PATH");
    if (varnoPath == nullptr) {
        diagf(DiagStream::Out, "VARNO_PATH not set, returning now...\n");
        mFailure = ProxyFailure{j, "launch", FailureCause::ProxyError,
                                "VARNO_PATH is not set: the node loader cannot be run"};
        return false;
    }
    const std::string node = p.getAddrStr();
    const std::string load = loaderPrefix(varnoPath, node) + "/executables/proxy S=-C";
    diagf(DiagStream::Out, "loading proxy to %s...\n", node.c_str());
    diagFlush();  // the loader writes to the same stream
    // The loader's exit status tells nothing about the proxy; it is not examined.
    (void)!system(load.c_str());
    mLoadWait();

    std::string start = loaderPrefix(varnoPath, node) +
                        "/executables/viewer O=out.txt R=err.txt C=QuirenProxy "
                        "S=-t S=" +
                        kTimeServerHost + " S=-m S=" + kRendezvousHost +
                        " "
                        "S=-p S=7020 S=./proxy "
                        "S=-v S=1 "
                        "S=-y7556:1 S=-y7557:1 S=-y7558:2 S=-y7559:2 "
                        "S=-y7560:3 S=-y7561:3 S=-y7562:4 S=-y7563:4 "
                        "S=-y7564:5 "
                        "S=-x7560:7558 ";
    if (!members.empty()) start += "S=-m" + members[0].getAddrStr() + " ";
    diagf(DiagStream::Out, "invoking proxy using command line:\n%s%s\n%s", kRule, start.c_str(),
          kRule);
    diagFlush();
    (void)!system(start.c_str());
    servicemetrics::countNodeLaunch();
    record(j, MulticastEndPoint(p.getAddr(), kDataPort, kAboneTTL));
    return true;
}

bool ESMProxyInitor::exchange(size_t j, const TransportEndPoint& p, Msg& request,
                              const std::string& want) {
    mFailure = ProxyFailure{j, request.getType(), FailureCause::None, ""};
    const Step step = request.getType() == Msg::ESMInit ? Step::Init : Step::Commit;
    if (p.getPort() == 0) {
        mFailure.detail = "no proxy";  // the locator found none: there is nobody to ask
        return false;
    }
    const int limitSec = serviceSettings().proxyTimeoutSec;
    const std::string within = " within " + std::to_string(limitSec) + " s";
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSec);
    const std::string host = p.getAddrStr();
    uint32_t addrNet = 0;
    int err = 0;
    const int sock =
        sendRequestMsgBy(host.c_str(), p.getPort(), &request, deadline, &addrNet, &err);
    if (sock < 0) {
        // The lines the transport's sendRequestMsg prints.
        errno = err;
        diagPerror(addrNet == 0 ? host.c_str() : "connect");
        if (err == ECONNREFUSED) {
            mFailure.cause = FailureCause::ProxyRefused;
            mFailure.detail = "connection refused (nothing listens there)";
        } else if (err == ETIMEDOUT) {
            mFailure.cause = FailureCause::ProxyTimeout;
            mFailure.detail = "no connection" + within;
        } else {
            mFailure.cause = FailureCause::ProxyError;
            mFailure.detail = std::string("cannot connect: ") + strerror(err);
        }
        servicemetrics::countProxyExchange(step, mFailure.cause);
        return false;
    }
    ResponseInfo info;
    std::unique_ptr<Msg> reply(getResponseMsgBy(sock, deadline, &info));
    if (reply && reply->getType() == want) {
        servicemetrics::countProxyExchange(step, FailureCause::None);
        return true;
    }
    std::string how;
    FailureCause cause = FailureCause::ProxyWrongReply;
    switch (reply ? ResponseResult::Ok : info.result) {
        case ResponseResult::Ok:
            how = "answered " + reply->getType() + " instead of " + want;
            break;
        case ResponseResult::ErrorStatus:
            cause = FailureCause::ProxyRefused;
            how = "answered with the error response (HTTP " + std::to_string(info.status) + " " +
                  info.reason + ")";
            break;
        case ResponseResult::NoResponse:
            cause = info.timedOut ? FailureCause::ProxyTimeout : FailureCause::ProxyError;
            how = info.timedOut ? "no answer" + within : "closed the connection without answering";
            break;
        case ResponseResult::ShortBody:
            cause = info.timedOut ? FailureCause::ProxyTimeout : FailureCause::ProxyError;
            how = info.timedOut ? "the answer did not arrive whole" + within
                                : "closed the connection in the middle of its answer";
            break;
        case ResponseResult::BadResponse:
            how = "answered something that is not an HTTP response of the transport";
            break;
        default:
            how = "answered a body that is not a response message";
            break;
    }
    mFailure.cause = cause;
    mFailure.detail = how;
    servicemetrics::countProxyExchange(step, cause);
    return false;
}

bool ESMProxyInitor::bringUpRunning(size_t j, const std::vector<TransportEndPoint>& membervec,
                                    const std::vector<TransportEndPoint>& members) {
    const TransportEndPoint& p = membervec[j];
    const std::string host = p.getAddrStr();
    ESMInit init(mId, mVersion, kDataPort);
    diagf(DiagStream::Err, "sending ESMInit to %s:%d...", host.c_str(), p.getPort());
    diagFlush();
    if (!exchange(j, p, init, Msg::ESMInitOk)) return false;
    diagf(DiagStream::Out, "got ESMInitOk\n");

    const bool endpoint = j < mEPProxyVec.size();
    const MulticastEndPoint t(inet_ADDR(endpoint ? kEndpointGroup : kZoneGroup), kDataPort,
                              endpoint ? kEndpointTTL : kZoneTTL);
    record(j, t);

    std::vector<TransportEndPoint> memberCopy = members;
    diagf(DiagStream::Out, "sending ESMCommit...");
    ESMCommit commit(mId, mVersion, t.getAddr(), kDataPort, t.getTTL(), memberCopy);
    if (!exchange(j, p, commit, Msg::ESMCommitOk)) return false;
    diagf(DiagStream::Out, "got ESMCommitOk\n");
    return true;
}
