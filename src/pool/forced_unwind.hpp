// What the pool's code needs to let a task's pthread_exit pass through it.
#pragma once

#include <cxxabi.h>

// glibc's forced unwinding (pthread_exit) throws no object, so catching
// abi::__forced_unwind by reference, as glibc asks, binds a reference to
// null; UBSan's null check would call that an error.
#define VEXO_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
