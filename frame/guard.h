// The one guard at the C boundary: no exception ever leaves an exported
// function.
#ifndef VORLAN_FRAME_GUARD_H
#define VORLAN_FRAME_GUARD_H

#include <new>

namespace vorlan {

// Runs `body` and returns its status; memory exhaustion, or any other
// exception, becomes `memoryCode`.
template <class Body>
int guardCall(int memoryCode, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return memoryCode;
  }
}

}  // namespace vorlan

#endif
