// Growable arrays of the core: plain buffers grown with realloc, since the
// core allocates with malloc and checks every allocation.
#pragma once

#include <cstdlib>

// Grows |*items| (of |*capacity|) so that one more than |count| fits. False,
// with |*items| unchanged, when out of memory.
template <typename T>
bool GrowToFit(T** items, int count, int* capacity) {
  if (count < *capacity) return true;
  int grown_capacity = *capacity ? *capacity * 2 : 16;
  T* grown = (T*)realloc(*items, sizeof(T) * size_t(grown_capacity));
  if (!grown) return false;
  *items = grown;
  *capacity = grown_capacity;
  return true;
}
