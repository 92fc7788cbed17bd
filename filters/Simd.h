// SPDX-License-Identifier: GPL-3.0-or-later
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

// The 256- and 512-bit paths are compiled for every x86 build and chosen at run time.
#define SONOLAB_X86_WIDE_PATHS 1

inline bool HasAvx() {
  static const bool avx = __builtin_cpu_supports("avx");
  return avx;
}

inline bool HasAvx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  return avx512;
}
#endif
