// ByteOrder.h: reading and writing scalars in packed little-endian byte layouts.
//
// Record buffers, pages, keys and stream forms are packed at arbitrary alignment. Their fields
// are read and written only through these helpers, never by casting a buffer pointer to a
// scalar or struct pointer.
//
// Threads: pure functions.
#pragma once

#include <bit>
#include <cstring>
#include <type_traits>

namespace tolvan {

static_assert(std::endian::native == std::endian::little,
              "stored layouts are little-endian and read in place");

template <class T>
  requires std::is_trivially_copyable_v<T>
inline T LoadLE(const void* P) noexcept {
  T V;
  std::memcpy(&V, P, sizeof V);
  return V;
}

template <class T>
  requires std::is_trivially_copyable_v<T>
inline void StoreLE(void* P, T V) noexcept {
  std::memcpy(P, &V, sizeof V);
}

} // namespace tolvan
