#pragma once

// Service discovery and network coordinates: SLP lookups through a Directory Agent, the table of
// network coordinates read from the coordinates file, and notifications to the coordinate monitor.

#include <slp.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_report.h"
// getCoordinates, gnpmon_color and chomp: the coordinate table and the monitor notification.
#include "coords.h"

// One service URL found by a lookup, with its lifetime in seconds. A plain value.
class ServiceInstance {
public:
    ServiceInstance() = default;
    ServiceInstance(std::string url, unsigned short life)
        : serviceURL(std::move(url)), lifetime(life) {}

    std::string getServiceURL() const { return serviceURL; }
    unsigned short getLifetime() const { return lifetime; }
    // IPv4 address of the URL's host part in network byte order; 0 when there is none (a host
    // name, a port left in the host part, no "//").
    unsigned long getAddr() const;
    // The number after the URL's last ":"; 0 when there is none or it is above 65535.
    unsigned short getPort() const;
    std::string getAddrStr() const;

private:
    std::string serviceURL;
    unsigned short lifetime = 0;
};

// One SLP lookup: a service type, a predicate, a scope list and the Directory Agents to ask.
// Belongs to the thread that made it. The constructor sets the process-wide SLP properties (the
// DA list, detection off; or detection on when DAaddr is empty); every lookup sets them again.
class SLPService {
public:
    SLPService(std::string srvtype, std::string predicate, std::string DAaddr, std::string scope);
    ~SLPService();
    SLPService(const SLPService&) = delete;
    SLPService& operator=(const SLPService&) = delete;

    // Runs the lookup: the number of services found (0 or more), or -1 when the lookup failed,
    // after which no earlier results are readable.
    int FindServices();
    int numFound() const { return mNumFound; }
    // When results are readable: replaces svec with a copy of them and returns their number;
    // otherwise returns 0 and leaves svec unchanged.
    int getSIvec(std::vector<ServiceInstance>& svec);
    // What each Directory Agent did for the last FindServices, in the order they were asked
    // (empty with a system libslp, which does not tell).
    const std::vector<agentreport::AgentResult>& agents() const { return mAgents; }
    // Result idx, valid until the next successful lookup or destruction; null when out of range
    // or when no results are readable.
    ServiceInstance* serviceAt(int idx);

private:
    SLPHandle mHandle = nullptr;
    std::string mDAaddr;
    std::string mSrvType;
    std::string mPredicate;
    std::string mScope;
    int mNumFound = 0;
    std::unique_ptr<std::vector<ServiceInstance>> mSIvec;
    std::vector<agentreport::AgentResult> mAgents;  // filled by the handle's agent observer
};
