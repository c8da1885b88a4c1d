#include <cstdio>

#include "ESM.h"
#include "diag.h"

namespace {

const int kColourClient = 2;  // a client endpoint without a proxy of its own
const int kColourNode = 6;    // the node chosen to serve it

}  // namespace

std::string runningProxyPredicate(const EndPoint& ep) {
    return "(&(addr=" + ep.getAddrStr() + ")(mask=255.255.255.255))";
}

std::string runningProxyPredicate(const EndZone& ez) {
    // A zone is found by its own mask.
    return "(&(addr=" + ez.getAddrStr() + ")(mask=" + ez.getMaskStr() + "))";
}

std::string computeNodePredicate(const std::string& coords) {
    return "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=" + coords + ")))";
}

ESMProxyLocator::ESMProxyLocator(EndPoint& ep, std::string DAaddr, std::string scope) {
    locate(runningProxyPredicate(ep), ep.getAddr(), true, ep.getAddrStr(), DAaddr, scope);
}

ESMProxyLocator::ESMProxyLocator(EndZone& ez, std::string DAaddr, std::string scope) {
    // Its coordinates are those of its representative endpoint.
    locate(runningProxyPredicate(ez), ez.getEP(), false, std::string(), DAaddr, scope);
}

ServiceInstance& ESMProxyLocator::selectProxy(std::vector<ServiceInstance>& sivec) {
    return sivec[0];
}

void ESMProxyLocator::locate(const std::string& firstPredicate, unsigned long coordAddr,
                             bool notifyMonitor, const std::string& monitorAddr,
                             const std::string& DAaddr, const std::string& scope) {
    std::vector<ServiceInstance> sivec;
    SLPService running(kESMProxyType, firstPredicate, DAaddr, scope);
    if (running.FindServices() >= 0 && running.numFound() > 0 && running.getSIvec(sivec) > 0) {
        ServiceInstance& proxy = selectProxy(sivec);
        mESMProxy.setAddr(proxy.getAddr());
        mESMProxy.setPort(proxy.getPort());
        return;
    }

    if (notifyMonitor) gnpmon_color(monitorAddr, kColourClient);
    const std::string coords = getCoordinates(coordAddr);
    if (coords.empty()) {
        diagf(DiagStream::Out, "coordinates not found, returning now...\n");
        return;
    }
    diagf(DiagStream::Out, "coordinates: [%s]\n", coords.c_str());

    SLPService compute(kCompResourceType, computeNodePredicate(coords), DAaddr, scope);
    if (compute.FindServices() < 0 || compute.numFound() <= 0 || compute.getSIvec(sivec) <= 0) {
        return;
    }
    const ServiceInstance node = selectProxy(sivec);
    if (notifyMonitor) gnpmon_color(node.getAddrStr(), kColourNode);
    mESMProxy.setAddr(node.getAddr());
    mESMProxy.setPort(static_cast<unsigned short>(0));  // the proxy is yet to be launched there
    mESMProxy.setAboneNode();
}
