#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ESM.h"
#include "deployment.h"
#include "diag.h"
#include "http.h"
#include "service_metrics.h"

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

bool ESMProxyInitor::bringUpRunning(size_t j, const std::vector<TransportEndPoint>& membervec,
                                    const std::vector<TransportEndPoint>& members) {
    const TransportEndPoint& p = membervec[j];
    const std::string host = p.getAddrStr();
    ESMInit init(mId, mVersion, kDataPort);
    diagf(DiagStream::Err, "sending ESMInit to %s:%d...", host.c_str(), p.getPort());
    diagFlush();
    using servicemetrics::Step;
    int sock = sendRequestMsg(host.c_str(), p.getPort(), &init);
    std::unique_ptr<Msg> reply(getResponseMsg(sock));  // nothing to read (null) for sock -1
    const bool initOk = reply && reply->getType() == Msg::ESMInitOk;
    servicemetrics::countProxyExchange(Step::Init, initOk);
    if (!initOk) return false;
    diagf(DiagStream::Out, "got ESMInitOk\n");

    const bool endpoint = j < mEPProxyVec.size();
    const MulticastEndPoint t(inet_ADDR(endpoint ? kEndpointGroup : kZoneGroup), kDataPort,
                              endpoint ? kEndpointTTL : kZoneTTL);
    record(j, t);
    reply.reset();

    std::vector<TransportEndPoint> memberCopy = members;
    diagf(DiagStream::Out, "sending ESMCommit...");
    {
        ESMCommit commit(mId, mVersion, t.getAddr(), kDataPort, t.getTTL(), memberCopy);
        sock = sendRequestMsg(host.c_str(), p.getPort(), &commit);
    }
    reply.reset(getResponseMsg(sock));
    const bool commitOk = reply && reply->getType() == Msg::ESMCommitOk;
    servicemetrics::countProxyExchange(Step::Commit, commitOk);
    if (!commitOk) return false;
    diagf(DiagStream::Out, "got ESMCommitOk\n");
    return true;
}
