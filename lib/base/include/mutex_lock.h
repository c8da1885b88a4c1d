#pragma once

#include <pthread.h>

// Holds a pthread mutex for one scope, for the process-wide locks whose names are pthread
// objects (std::lock_guard serves std::mutex).
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t* m) : mMutex(m) { pthread_mutex_lock(mMutex); }
    ~MutexLock() { pthread_mutex_unlock(mMutex); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    pthread_mutex_t* mMutex;
};
