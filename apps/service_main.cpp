#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ESM.h"
#include "cli.h"
#include "coords.h"
#include "detached_thread.h"
#include "diag.h"
#include "esm_version.h"
#include "http.h"
#include "http_serve.h"
#include "mutex_lock.h"
#include "request_memory.h"
#include "service_metrics.h"
#include "service_notify.h"
#include "service_settings.h"
#include "service_socket.h"

namespace {

const char kHelp[] =
    "Usage: esm-synthd PORT DA\n"
    "The synthesis service: listens for HTTP on TCP port PORT of every local address, answers\n"
    "each SynthESMReq with a SynthESMOk giving the multicast transport of every endpoint and\n"
    "zone, and finds their proxies through the SLP Directory Agent DA.\n"
    "\n"
    "Arguments:\n"
    "  PORT   read like strtol and cut to 16 bits: 8080abc is 8080, 65616 is 80, and text\n"
    "         without digits lets the system pick a port (find it with ss -ltnp)\n"
    "  DA     the Directory Agent: a.b.c.d or a host name (port 427), host:port, or a\n"
    "         comma-separated list of these, asked in turn until one answers\n"
    "\n"
    "Options (only as the single argument):\n"
    "  --check     check the settings and the coordinates file, print what was found and\n"
    "              exit: 0 when the daemon would start with them, 78 when not\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Output: one line on standard error naming the version, port, Directory Agents and\n"
    "metrics address; \"waiting for request\" on standard output once it runs, then the\n"
    "progress of every request. After the 101st answered request it takes no more\n"
    "connections, lets those it has accepted finish (10 s at most), prints \"utime N,\n"
    "stime N\" on standard error, pauses 3 seconds and exits with status 0. Any other number\n"
    "of arguments prints \"arg: port DA\" and exits with status 255; a port it cannot listen\n"
    "on, or a handed-over socket that is not a listening TCP/IPv4 socket on PORT, status 1;\n"
    "a setting that is not valid, one line naming it and status 78.\n"
    "\n"
    "Signals: SIGTERM stops accepting, lets requests in progress finish for up to 10 s\n"
    "and exits with status 0. SIGHUP reads VARNO_PATH/gnp.coords again (a file that is not\n"
    "valid leaves the table as it was) and says so in one line; the port, the Directory\n"
    "Agents and the ESM_ settings take a restart.\n"
    "\n"
    "Environment (a value that is not valid stops the start with status 78):\n"
    "  ESM_MEMORY_BUDGET  memory the requests in flight may hold together (default 1GiB)\n"
    "  ESM_MAX_ENTRIES    most endpoints and zones one request may name (default 1024)\n"
    "  ESM_MAX_WORKERS    most requests handled at once; complete requests beyond it wait\n"
    "                     their turn (default 256)\n"
    "  ESM_PROXY_TIMEOUT  seconds one exchange with a proxy may take before the request\n"
    "                     fails (default 10)\n"
    "  ESM_METRICS_ADDR   ADDR:PORT to serve the metrics on, GET /metrics in the\n"
    "                     Prometheus text format and GET /healthz (unset: no listener;\n"
    "                     one it cannot listen on ends the start with status 1)\n"
    "  VARNO_PATH         the directory of gnp.coords and of the node loader abone/sc.linux\n"
    "  VARNO_GNPMONITOR   the coordinate monitor's address (unset: none is told)\n"
    "  NOTIFY_SOCKET      set by systemd: READY=1 once listening, STOPPING=1 when ending\n"
    "  JOURNAL_STREAM     set by systemd: each request's outcome line goes to the journal\n"
    "                     with fields of its own (ESM_OUTCOME, ESM_CAUSE, ESM_PEER, ...)\n"
    "  LISTEN_FDS         set by systemd, with LISTEN_PID, for socket activation: the daemon\n"
    "                     serves the listening socket handed over as descriptor 3 instead of\n"
    "                     opening one; connections wait in its queue while it restarts\n";

// How long connections in progress may take to finish after SIGTERM.
constexpr int kDrainMs = 10000;
// The listening socket is opened on the server thread as it starts; it never takes long.
constexpr int kListenWaitMs = 10000;

// Set once SIGTERM has arrived; main's wait ends on it as on the request limit.
bool sStopRequested = false;  // guarded by term_mut

// What the handler saw, and its post to the signal thread (sem_post and lock-free atomics may be
// used in a handler; a mutex may not).
std::atomic<bool> sTermSeen{false};
std::atomic<int> sHangups{0};
sem_t sSignalPosted;

void onSignal(int sig) {
    const int saved = errno;
    if (sig == SIGHUP) {
        sHangups.fetch_add(1);
    } else {
        sTermSeen.store(true);
    }
    sem_post(&sSignalPosted);
    errno = saved;
}

// For the life of the process: reloads the coordinates for each SIGHUP and, on SIGTERM, sets
// sStopRequested under term_mut and wakes main.
void handleSignals() {
    for (;;) {
        while (sem_wait(&sSignalPosted) != 0) {
        }
        while (sHangups.load() > 0) {
            sHangups.fetch_sub(1);
            diagf(DiagStream::Err, "esm-synthd: SIGHUP: %s\n", reloadCoordinates().c_str());
        }
        if (sTermSeen.load()) {
            MutexLock lock(&term_mut);
            sStopRequested = true;
            pthread_cond_broadcast(&term_cond);
        }
    }
}

// SIGTERM asks for a graceful stop instead of killing the process; SIGHUP reads the coordinates
// file again. The handlers are reset for the programs the daemon runs, and no signal is
// blocked, so they get both signals as usual.
void catchSignals() {
    sem_init(&sSignalPosted, 0, 0);
    if (startDetachedThread(handleSignals) != 0) return;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// strtol with a 32-bit long, cut to 16 bits: "8080abc" is 8080, "65616" is 80, "abc" is 0.
unsigned short portArg(const char* text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<unsigned short>(v);
}

// --check: the settings as the daemon would read them, and the coordinates file. Exit status 0
// when the daemon would start with them and the file is usable, kConfigErrorStatus when not.
int checkConfiguration() {
    ServiceSettings settings;
    std::string error;
    if (!readServiceSettings(&settings, &error)) {
        fprintf(stderr, "esm-synthd: %s\n", error.c_str());
        return kConfigErrorStatus;
    }
    fputs(describeServiceSettings(settings).c_str(), stdout);
    const CoordinatesExplanation c = explainCoordinates(0);
    using R = CoordinatesExplanation::Result;
    switch (c.result) {
        case R::PathUnset:
            printf("VARNO_PATH is not set: no coordinates, so no compute node can be chosen\n");
            break;
        case R::FileMissing:
            printf("%s: not found: no coordinates, so no compute node can be chosen\n",
                   c.path.c_str());
            break;
        case R::ReadError:
            fprintf(stderr, "esm-synthd: %s%s: cannot be read: %s\n", c.path.c_str(),
                    c.line > 0 ? (":" + std::to_string(c.line)).c_str() : "", c.reason.c_str());
            return kConfigErrorStatus;
        case R::FormatError:
            fprintf(stderr, "esm-synthd: %s:%d: no blank between host and coordinates\n",
                    c.path.c_str(), c.line);
            return kConfigErrorStatus;
        case R::Found:
        case R::NotListed:
            printf("%s: valid\n", c.path.c_str());
            break;
    }
    printf("esm-synthd: the configuration is valid\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Only a lone --help, --version or --check is an option; every other command line is read
    // as the daemon has always read it, for the units and scripts that start it.
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        cli::printVersion("esm-synthd");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--check") == 0) return checkConfiguration();
    if (argc != 3) {
        printf("arg: port DA\n");
        exit(-1);
    }
    ServiceSettings settings;
    std::string settingsError;
    if (!readServiceSettings(&settings, &settingsError)) {
        fprintf(stderr, "esm-synthd: %s\n", settingsError.c_str());
        return kConfigErrorStatus;
    }
    installServiceSettings(settings);
    setRequestMemoryBudgetLimit(settings.memoryBudgetBytes);
    setMaxWorkers(settings.maxWorkers);
    // Idle peers must not keep others out for want of descriptors.
    raiseDescriptorLimit();
    // Operators and tests read the progress lines as they happen, also through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    serve::keepRequestMemory();
    const unsigned short port = portArg(argv[1]);
    // Both before any thread starts: they edit the environment.
    const ServiceNotifier notifier;
    Fd handed;
    std::string handedProblem;
    const HandedSocket handedOver = adoptHandedSocket(port, &handed, &handedProblem);
    if (handedOver == HandedSocket::Bad) {
        fprintf(stderr, "esm-synthd: %s\n", handedProblem.c_str());
        exit(1);
    }
    catchSignals();
    global_time_init();
    num_of_requests = 0;
    DAstr = argv[2];
    fprintf(stderr, "esm-synthd %s: port %d, Directory Agents %s, metrics %s\n", ESM_VERSION, port,
            DAstr, settings.metricsAddr.empty() ? "off" : settings.metricsAddr.c_str());
    servicemetrics::install();
    std::string metricsError;
    if (!servicemetrics::startListener(settings.metricsAddr, &metricsError)) {
        fprintf(stderr, "esm-synthd: ESM_METRICS_ADDR %s\n", metricsError.c_str());
        exit(1);
    }
    if (handedOver == HandedSocket::Adopted) {
        startServerLoopOn(std::move(handed), RecvCallback);
    } else {
        startServerLoop(port, RecvCallback);
    }
    printf("waiting for request\n");
    if (waitServerListening(kListenWaitMs)) notifier.notify("READY=1");

    bool stop = false;
    {
        MutexLock lock(&term_mut);
        while (num_of_requests <= kRequestLimit && !sStopRequested) {
            pthread_cond_wait(&term_cond, &term_mut);
        }
        stop = sStopRequested;
    }
    // No more connections are taken from here on: a socket of our own is closed (connections are
    // refused), a handed-over one keeps queueing for the next start. Every connection already
    // accepted gets up to kDrainMs to be answered; whatever still runs then ends with the process.
    stopServing();
    notifier.notify("STOPPING=1");
    waitServingEnded(kDrainMs);
    if (stop) {
        fflush(nullptr);
        _exit(0);
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
