#pragma once

#include <cstdlib>
#include <memory>

// Owns a malloc'd buffer, such as the text Msg::getChars() returns, and frees it.
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;
