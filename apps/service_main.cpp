#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "ESM.h"
#include "http.h"

const char* DAstr = "";
pthread_mutex_t term_mut = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t term_cond = PTHREAD_COND_INITIALIZER;
int num_of_requests = 0;  // guarded by term_mut

namespace {

const char* const kScope = "default";
const int kRequestLimit = 100;  // main ends after one more than this

// Holds a pthread mutex for one scope.
class Lock {
public:
    explicit Lock(pthread_mutex_t* m) : mMutex(m) { pthread_mutex_lock(mMutex); }
    ~Lock() { pthread_mutex_unlock(mMutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pthread_mutex_t* mMutex;
};

void countAnsweredRequest() {
    Lock lock(&term_mut);
    ++num_of_requests;
    // Signalled with the lock held, so main cannot miss it between its test and its wait.
    if (num_of_requests >= kRequestLimit) pthread_cond_signal(&term_cond);
}

// Every connection thread allocates from one of many malloc arenas. With glibc's defaults a
// burst of large requests leaves each arena holding tens of MiB once the burst is over: freed
// document nodes wait in fast bins, which are never merged back into the arena's top, and the
// first large buffer freed raises the trim threshold for good. Without fast bins and with fixed
// thresholds, memory goes back to the system as connections end.
void returnFreedMemory() {
    mallopt(M_MXFAST, 0);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

// strtol with a 32-bit long, cut to 16 bits: "8080abc" is 8080, "65616" is 80, "abc" is 0.
unsigned short portArg(const char* text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<unsigned short>(v);
}

}  // namespace

Msg* RecvCallback(Msg* req) {
    if (req->getType() != Msg::SynthESMReq) {
        printf("Not getting the right request!\n");
        return nullptr;
    }
    printf("Got SynthESMReq from %s:%d\n", req->getSrcAddrStr().c_str(), req->getSrcPort());
    auto* synth = static_cast<SynthESMReq*>(req);
    std::vector<EndPoint> epv = synth->getEPVec();
    std::vector<EndZone> ezv = synth->getZoneVec();

    std::vector<TransportEndPoint> epproxies;
    std::vector<TransportEndPoint> ezproxies;
    for (EndPoint& ep : epv) {
        ESMProxyLocator locator(ep, DAstr, kScope);
        epproxies.push_back(locator.getESMProxy());
        printf("got proxy %s\n", epproxies.back().getStr().c_str());
    }
    for (EndZone& ez : ezv) {
        ESMProxyLocator locator(ez, DAstr, kScope);
        ezproxies.push_back(locator.getESMProxy());
        printf("got proxy %s\n", ezproxies.back().getStr().c_str());
    }

    ESMProxyInitor esminit(epproxies, ezproxies);
    if (!esminit.initOk()) {
        printf("ESM init failed!?\n");
        return nullptr;
    }
    std::vector<MulticastEndPoint> eptransports = esminit.getEPTransports();
    std::vector<MulticastEndPoint> eztransports = esminit.getZoneTransports();
    Msg* rep = new SynthESMOk(req->getId(), req->getVersion(), eptransports, eztransports);
    countAnsweredRequest();
    return rep;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        printf("arg: port DA\n");
        exit(-1);
    }
    // Operators and tests read the progress lines as they happen, also through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    returnFreedMemory();
    global_time_init();
    num_of_requests = 0;
    DAstr = argv[2];
    const unsigned short port = portArg(argv[1]);
    startServerLoop(port, RecvCallback);
    printf("waiting for request\n");

    {
        Lock lock(&term_mut);
        while (num_of_requests <= kRequestLimit) pthread_cond_wait(&term_cond, &term_mut);
    }
    long utime;
    long stime;
    {
        Lock lock(&global_time_mut);
        utime = global_utime;
        stime = global_stime;
    }
    fprintf(stderr, "utime %lu, stime %lu\n", static_cast<unsigned long>(utime),
            static_cast<unsigned long>(stime));
    sleep(3);
    // Connection threads may still be running: end without running library and static
    // destructors under them (libxml2 would free the locks they use). Output is flushed first.
    fflush(nullptr);
    _exit(0);
}
