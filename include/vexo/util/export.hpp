// Symbol visibility for the shared library.
//
// The library is built with hidden visibility; every public class and free
// function is marked with VEXO_API so that it, and nothing else, is exported.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VEXO_API __attribute__((visibility("default")))
#else
#define VEXO_API
#endif
