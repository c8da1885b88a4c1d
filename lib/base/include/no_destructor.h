#pragma once

#include <new>
#include <utility>

// Holds a T that is built on first use and never destroyed. Detached connection threads may
// outlive main, so process-wide state they touch must survive static destruction:
//   static NoDestructor<Table> sTable;  ...  sTable.get()->...
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
