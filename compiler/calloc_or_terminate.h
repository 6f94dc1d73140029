// Blocks of the compiler whose allocation failure ends the process.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <exception>

// A zero-filled block of `size` bytes. Like an allocation inside the standard
// containers, a failure here ends the process.
inline void* CallocOrTerminate(size_t size) {
  void* block = std::calloc(1, size);
  if (block == nullptr) {
    std::terminate();
  }
  return block;
}
