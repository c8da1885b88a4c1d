#include "request_memory.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>

namespace serve {

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ESM_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ESM_SANITIZED_ALLOCATOR 1
#endif

#ifndef ESM_SANITIZED_ALLOCATOR
constexpr int kServingTrimThreshold = static_cast<int>(kGiveBackAfterBytes);
constexpr int kServingMmapThreshold = 32 * 1024 * 1024;
// Low enough that freeing the probe below shrinks the arena's top to almost nothing.
constexpr int kQuietTrimThreshold = 128 * 1024;
constexpr size_t kProbeBytes = 256 * 1024;

std::atomic<bool> gKeeping{false};
#endif

}  // namespace

void keepRequestMemory() {
#ifndef ESM_SANITIZED_ALLOCATOR
    mallopt(M_MXFAST, 0);
    mallopt(M_TRIM_THRESHOLD, kServingTrimThreshold);
    mallopt(M_MMAP_THRESHOLD, kServingMmapThreshold);
    gKeeping.store(true);
#endif
}

void giveBackFreedMemory() {
#ifndef ESM_SANITIZED_ALLOCATOR
    // malloc_trim gives back the free pages inside every arena, but not the free top of an arena
    // other than the main one: that shrinks only when a free leaves it above the trim threshold,
    // which is high while requests run. So for a moment the threshold is low, and a block freed
    // into this thread's arena shrinks its top. Other threads freeing meanwhile only trim more.
    if (gKeeping.load()) {
        mallopt(M_TRIM_THRESHOLD, kQuietTrimThreshold);
        void* probe = malloc(kProbeBytes);
        if (probe != nullptr) {
            static_cast<volatile char*>(probe)[0] = 0;
            free(probe);
        }
    }
    malloc_trim(0);
    if (gKeeping.load()) mallopt(M_TRIM_THRESHOLD, kServingTrimThreshold);
#endif
}

}  // namespace serve
