// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The position of a looping ring in bytes since the ring was created or rewound, never wrapped (the
// offset in the ring is the position modulo its size), with the slot notifications it signals as the
// position passes each slot's last byte.
//
// Playback: the device commits each range it writes. Play hands out the ring's bytes inside the range
// written since the position last passed there and silence everywhere else, so a writer that fell
// behind is heard as silence, never as the sound of an earlier pass around the ring. Running past the
// end of what was written counts one dropout until the next range is committed; so does a new range
// that leaves a gap after one that was still being played. Capture stores what the server delivers at
// the position.
//
// Threads: no lock of its own; the back-end calls it under the lock that guards the ring (the main
// loop's lock, the fake's mutex). Signal runs on the calling thread.

#include "devices/platform/EventSet.h"
#include "devices/platform/SoundServices.h"

#include <algorithm>
#include <cstdint>
#include <vector>

class TRingCursor {
public:
  TRingCursor(uint32_t ringBytes, uint8_t silenceByte);

  uint32_t Size() const { return size; }
  uint64_t Position() const { return position; }
  uint32_t Offset() const { return static_cast<uint32_t>(position % size); }

  // Event EventIndex is signalled each time the position passes Offset; none while events is null.
  void SetNotifications(const TSoundNotifyPositions& newPositions, TEventSet* newEvents);
  // Moves to `offset` of the first pass, forgetting what was written and any end.
  void Rewind(uint32_t offset);
  // Sets the position without handing out or signalling anything (a scripted cursor).
  void MoveTo(uint64_t to) { position = to; }

  // ---- Playback ----
  // The device has written [begin, end); a range that ends beyond the next pass is ignored.
  void Commit(uint64_t begin, uint64_t end);
  // Hands out nothing past the end of what was written, so that the stream can play out; the next
  // Commit lifts it.
  void EndAtWritten() { ending = true; }
  void ClearEnd() { ending = false; }
  bool Ending() const { return ending; }
  // Ending, and everything written has been handed out.
  bool HandedAll() const { return ending && position >= writtenEnd; }
  // Hands out up to n bytes from the position on as sink(bytes, count) pieces that never wrap: the
  // ring's own bytes where they were written, silence elsewhere. Returns how many were handed out.
  template <class TSink> uint64_t Play(const uint8_t* memory, uint64_t n, TSink&& sink);

  // ---- Capture ----
  // Stores n bytes at the position and advances; null data is a hole in the stream, stored as silence.
  void Capture(uint8_t* memory, const uint8_t* data, uint64_t n);

  uint64_t Dropouts() const { return dropouts; }
  void CountDropout() { ++dropouts; }

private:
  // Moves on by n bytes that do not wrap, signalling each slot end passed.
  void Advance(uint32_t n);

  uint32_t size;
  uint8_t silenceByte;
  uint64_t position = 0;
  uint64_t writtenBegin = 0;
  uint64_t writtenEnd = 0;
  bool dropoutCounted = true; // the position ran past what was written and that is counted
  bool ending = false;
  uint64_t dropouts = 0;
  TSoundNotifyPositions positions{};
  TEventSet* events = nullptr;
  std::vector<uint8_t> silence;
};

template <class TSink> uint64_t TRingCursor::Play(const uint8_t* memory, uint64_t n, TSink&& sink) {
  if (ending) {
    n = position < writtenEnd ? std::min(n, writtenEnd - position) : 0;
  }
  uint64_t handed = 0;
  while (handed < n) {
    uint64_t piece = std::min<uint64_t>(n - handed, size - Offset());
    if (position >= writtenBegin && position < writtenEnd) {
      piece = std::min(piece, writtenEnd - position);
      sink(memory + Offset(), static_cast<uint32_t>(piece));
    } else {
      if (position < writtenBegin) {
        piece = std::min(piece, writtenBegin - position);
      } else if (!dropoutCounted) {
        ++dropouts; // the worker has not written this far
        dropoutCounted = true;
      }
      piece = std::min<uint64_t>(piece, silence.size());
      sink(silence.data(), static_cast<uint32_t>(piece));
    }
    Advance(static_cast<uint32_t>(piece));
    handed += piece;
  }
  return handed;
}
