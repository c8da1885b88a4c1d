#include "SLP.h"

#include <cstdlib>

#include "EndPoint.h"

namespace {

// Called by SLPFindSrvs once per URL and once at the end; collects every call that carries a
// URL with a non-zero lifetime into the vector behind cookie.
SLPBoolean SLPFindSrvCallback(SLPHandle, const char* srvurl, unsigned short lifetime,
                              SLPError errcode, void* cookie) {
    if ((errcode == SLP_OK || errcode == SLP_LAST_CALL) && lifetime != 0 && srvurl != nullptr) {
        static_cast<std::vector<ServiceInstance>*>(cookie)->emplace_back(srvurl, lifetime);
    }
    return SLP_TRUE;
}

}  // namespace

unsigned long ServiceInstance::getAddr() const {
    const std::string& u = serviceURL;
    size_t slashes = u.find("//");
    if (slashes == std::string::npos) return 0;
    size_t hostStart = slashes + 2;
    size_t hostEnd = u.size();
    size_t gnp = u.find("/?x-GNP");
    if (gnp != std::string::npos) {
        if (gnp < hostStart) return 0;  // the host part would end before it starts
        hostEnd = gnp;
    } else {
        size_t colon = u.rfind(':');
        if (colon != std::string::npos && colon >= hostStart + 2) hostEnd = colon;
    }
    return inet_ADDR(u.substr(hostStart, hostEnd - hostStart).c_str());
}

unsigned short ServiceInstance::getPort() const {
    size_t colon = serviceURL.rfind(':');
    std::string text = colon == std::string::npos ? serviceURL : serviceURL.substr(colon + 1);
    unsigned long port = strtoul(text.c_str(), nullptr, 10);
    return port > 65535 ? 0 : static_cast<unsigned short>(port);
}

std::string ServiceInstance::getAddrStr() const {
    return inet_NTOS(getAddr());
}

SLPService::SLPService(std::string srvtype, std::string predicate, std::string DAaddr,
                       std::string scope) {
    if (SLPOpen("en", SLP_FALSE, &mHandle) != SLP_OK) {
        mHandle = nullptr;
        return;
    }
    agentreport::observeHandle(mHandle, &mAgents);
    if (DAaddr.empty()) {
        SLPSetProperty("net.slp.activeDADetection", "true");
        SLPSetProperty("net.slp.passiveDADetection", "true");
    } else {
        SLPSetProperty("net.slp.DAAddresses", DAaddr.c_str());
        SLPSetProperty("net.slp.activeDADetection", "false");
        SLPSetProperty("net.slp.passiveDADetection", "false");
    }
    mDAaddr = std::move(DAaddr);
    mSrvType = std::move(srvtype);
    mPredicate = std::move(predicate);
    mScope = std::move(scope);
}

SLPService::~SLPService() {
    if (mHandle != nullptr) SLPClose(mHandle);
}

int SLPService::FindServices() {
    if (mHandle == nullptr) {
        mNumFound = 0;
        return -1;
    }
    std::vector<ServiceInstance> found;
    mAgents.clear();
    SLPError err = SLPFindSrvs(mHandle, mSrvType.c_str(), mScope.c_str(), mPredicate.c_str(),
                               SLPFindSrvCallback, &found);
    if (err != SLP_OK) {
        mNumFound = 0;
        return -1;
    }
    mSIvec = std::make_unique<std::vector<ServiceInstance>>(std::move(found));
    mNumFound = static_cast<int>(mSIvec->size());
    return mNumFound;
}

int SLPService::getSIvec(std::vector<ServiceInstance>& svec) {
    if (!mSIvec || mNumFound == 0) return 0;
    svec = *mSIvec;
    return mNumFound;
}

ServiceInstance* SLPService::serviceAt(int idx) {
    if (!mSIvec || mNumFound == 0 || idx < 0 || idx >= mNumFound) return nullptr;
    return &(*mSIvec)[static_cast<size_t>(idx)];
}
