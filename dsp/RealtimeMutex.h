// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TRealtimeMutex: the lock a real-time thread may wait on. It inherits priority: while the worker (at
// real-time priority) waits, the thread that holds the lock runs at the worker's priority, so that a
// user-interface thread preempted in the middle of a pointer swap cannot keep the worker waiting for
// a whole time slice. std::mutex and std::recursive_mutex make no such promise. Every holder other
// than the worker keeps it only for an O(1) exchange: no allocation, no file, no other lock inside.
//
// TRealtimeRecursiveMutex is the same lock, re-entrant (the chain's lock, which an editor may take
// around several edits of its own).
//
// Threads: any; BasicLockable (std::lock_guard) and try_lock. Not copyable.

#include <pthread.h>

class TRealtimeMutex {
public:
  TRealtimeMutex() : TRealtimeMutex(PTHREAD_MUTEX_NORMAL) {}
  ~TRealtimeMutex() { pthread_mutex_destroy(&mutex); }
  TRealtimeMutex(const TRealtimeMutex&) = delete;
  TRealtimeMutex& operator=(const TRealtimeMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex); }
  void unlock() { pthread_mutex_unlock(&mutex); }
  bool try_lock() { return pthread_mutex_trylock(&mutex) == 0; }

protected:
  explicit TRealtimeMutex(int kind);

private:
  pthread_mutex_t mutex;
};

class TRealtimeRecursiveMutex : public TRealtimeMutex {
public:
  TRealtimeRecursiveMutex() : TRealtimeMutex(PTHREAD_MUTEX_RECURSIVE) {}
};
