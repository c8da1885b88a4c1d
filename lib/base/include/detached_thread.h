#pragma once

// Starting a thread that nobody joins: the one way the project does it.

#include <cstddef>
#include <functional>

// Runs fn on a new detached thread (with a stack of stackBytes, or the default for 0). Returns
// 0, or the error pthread_create gave, in which case fn is dropped without running.
// Thread-safe.
int startDetachedThread(std::function<void()> fn, size_t stackBytes = 0);
