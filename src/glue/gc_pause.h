// Pausing the cyclic garbage collector for a scope.
#pragma once

#include <Python.h>

namespace glue {

/// Pauses the cyclic collector for a scope. Walks that build up to millions
/// of records, none of which can be part of a cycle, would otherwise set off
/// a collection every few thousand allocations, and each older-generation
/// pass would traverse the large containers being filled again and again.
struct GcPause {
  int was = PyGC_Disable();
  ~GcPause() {
    if (was) PyGC_Enable();
  }
  GcPause() = default;
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
};

}  // namespace glue
