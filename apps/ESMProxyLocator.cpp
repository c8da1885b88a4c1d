#include <cstdio>

#include "ESM.h"
#include "diag.h"

namespace {

const char* const kProxyType = "ESMProxy";
const char* const kComputeType = "CompResource";
const int kColourClient = 2;  // a client endpoint without a proxy of its own
const int kColourNode = 6;    // the node chosen to serve it

}  // namespace

ESMProxyLocator::ESMProxyLocator(EndPoint& ep, std::string DAaddr, std::string scope) {
    const std::string a = ep.getAddrStr();
    locate("(&(addr=" + a + ")(mask=255.255.255.255))", ep.getAddr(), true, a, DAaddr, scope);
}

ESMProxyLocator::ESMProxyLocator(EndZone& ez, std::string DAaddr, std::string scope) {
    // A zone is found by its own mask; its coordinates are those of its representative endpoint.
    locate("(&(addr=" + ez.getAddrStr() + ")(mask=" + ez.getMaskStr() + "))", ez.getEP(), false,
           std::string(), DAaddr, scope);
}

ServiceInstance& ESMProxyLocator::selectProxy(std::vector<ServiceInstance>& sivec) {
    return sivec[0];
}

void ESMProxyLocator::locate(const std::string& firstPredicate, unsigned long coordAddr,
                             bool notifyMonitor, const std::string& monitorAddr,
                             const std::string& DAaddr, const std::string& scope) {
    std::vector<ServiceInstance> sivec;
    SLPService running(kProxyType, firstPredicate, DAaddr, scope);
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

    SLPService compute(kComputeType, "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=" + coords + ")))",
                       DAaddr, scope);
    if (compute.FindServices() < 0 || compute.numFound() <= 0 || compute.getSIvec(sivec) <= 0) {
        return;
    }
    const ServiceInstance node = selectProxy(sivec);
    if (notifyMonitor) gnpmon_color(node.getAddrStr(), kColourNode);
    mESMProxy.setAddr(node.getAddr());
    mESMProxy.setPort(static_cast<unsigned short>(0));  // the proxy is yet to be launched there
    mESMProxy.setAboneNode();
}
