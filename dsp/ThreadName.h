// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The name a person sees for a thread in top -H, ps -L and a debugger. Every thread the program starts
// names itself first thing: "sonolab-worker", "sonolab-writer", "sonolab-channel", ... The kernel keeps
// 15 bytes and a NUL, which the names are checked against as they are compiled.

#include <pthread.h>

#include <cstddef>

template <size_t N> void NameThisThread(const char (&name)[N]) {
  static_assert(N <= 16, "a thread name of at most 15 bytes");
  pthread_setname_np(pthread_self(), name);
}
