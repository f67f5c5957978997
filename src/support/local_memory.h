// Ownership of blocks from the local heap (LocalAlloc), released with LocalFree.
#pragma once

#include <memory>

#include "platform/lasterror.h"

namespace tarvenholm {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

template <typename T>
using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

}  // namespace tarvenholm
