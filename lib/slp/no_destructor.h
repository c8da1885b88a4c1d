#pragma once

#include <new>
#include <utility>

namespace slpclient {

// Holds a T that is built on first use and never destroyed: lookups may run on detached threads
// that outlive main, so process-wide state must survive static destruction.
template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (mStorage) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    T* get() { return std::launder(reinterpret_cast<T*>(mStorage)); }

private:
    alignas(T) unsigned char mStorage[sizeof(T)];
};

}  // namespace slpclient
