// SPDX-License-Identifier: GPL-3.0-or-later
#include "dsp/RealtimeMutex.h"

TRealtimeMutex::TRealtimeMutex(int kind) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, kind);
  // Where the system has no priority inheritance the lock is a plain one.
  pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}
