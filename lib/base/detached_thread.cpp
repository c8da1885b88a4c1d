#include "detached_thread.h"

#include <pthread.h>

#include <memory>

namespace {

void* runThread(void* arg) {
    // Owns its function.
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    (*fn)();
    return nullptr;
}

}  // namespace

int startDetachedThread(std::function<void()> fn, size_t stackBytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackBytes > 0) pthread_attr_setstacksize(&attr, stackBytes);
    auto* arg = new std::function<void()>(std::move(fn));
    pthread_t tid;
    const int err = pthread_create(&tid, &attr, runThread, arg);
    pthread_attr_destroy(&attr);
    if (err != 0) delete arg;
    return err;
}
