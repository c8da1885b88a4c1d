#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "ESM.h"
#include "http.h"
#include "mutex_lock.h"

namespace {

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
    synthEntryLimit();  // read the setting now: a bad one is reported at start
    startServerLoop(port, RecvCallback);
    printf("waiting for request\n");

    {
        MutexLock lock(&term_mut);
        while (num_of_requests <= kRequestLimit) pthread_cond_wait(&term_cond, &term_mut);
    }
    long utime;
    long stime;
    {
        MutexLock lock(&global_time_mut);
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
