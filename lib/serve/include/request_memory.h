#pragma once

// How a server process's allocator treats the memory of its requests: kept in the arenas while
// requests run, so that each message reuses what the last one freed, and given back to the system
// once the workers fall quiet.

namespace serve {

// Sets glibc's allocator for serving: no fast bins (freed nodes merge back at once) and fixed
// trim and mapping thresholds high enough that a request's documents and buffers (a commit naming
// a thousand members is a few MiB of nodes and a 250 KiB text) reuse the arena's memory from one
// message to the next instead of each mapping, faulting in and giving back its own pages. Call
// once at start, before other threads.
void keepRequestMemory();

// Gives back to the system the free memory of every arena, and the free top of the calling
// thread's own arena, which a trim alone leaves. Workers call it after a quiet spell, and after a
// request that held more than kGiveBackAfterBytes. Nothing in sanitizer builds, whose allocator
// is their own. Thread-safe.
void giveBackFreedMemory();

// A request that held more than this gives its memory back as soon as it is done: the allocator
// keeps up to this much in each arena, and a few such requests on different threads would
// otherwise keep theirs while others of their size start.
constexpr unsigned long long kGiveBackAfterBytes = 64ull << 20;

}  // namespace serve
