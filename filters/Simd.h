#pragma once
// The x86 vector intrinsics the filters and transforms use on their hot paths.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
// The 512-bit conversions of GCC 12 start from an undefined register, which it then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
