// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/platform/RingCursor.h"

#include <cstring>

namespace {
// Silence is handed out in pieces of at most this many bytes: a whole number of frames of any format.
constexpr uint32_t SilencePieceBytes = 4096;
} // namespace

TRingCursor::TRingCursor(uint32_t ringBytes, uint8_t silenceByte)
    : size(ringBytes), silenceByte(silenceByte), silence(SilencePieceBytes, silenceByte) {}

void TRingCursor::SetNotifications(const TSoundNotifyPositions& newPositions, TEventSet* newEvents) {
  positions = newPositions;
  events = newEvents;
}

void TRingCursor::Rewind(uint32_t offset) {
  position = offset % size;
  writtenBegin = writtenEnd = 0;
  dropoutCounted = true;
  ending = false;
}

void TRingCursor::Commit(uint64_t begin, uint64_t end) {
  // A range beyond the next pass cannot be played: a block whose Write raced a rewind.
  if (end <= begin || end > position + size) {
    return;
  }
  const bool anyWritten = writtenEnd > writtenBegin;
  if (anyWritten && begin == writtenEnd) {
    writtenEnd = end; // the next block right after the previous one
  } else {
    // A new range: silence is heard up to its beginning. Unless running past the old range already
    // counted it, that gap is a dropout of its own.
    if (anyWritten && !dropoutCounted && position < begin) {
      ++dropouts;
    }
    writtenBegin = begin;
    writtenEnd = end;
  }
  dropoutCounted = position >= writtenEnd;
  ending = false;
}

void TRingCursor::Capture(uint8_t* memory, const uint8_t* data, uint64_t n) {
  uint64_t done = 0;
  while (done < n) {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(n - done, size - Offset()));
    if (data) {
      std::memcpy(memory + Offset(), data + done, piece);
    } else {
      std::memset(memory + Offset(), silenceByte, piece);
    }
    Advance(piece);
    done += piece;
  }
}

void TRingCursor::Advance(uint32_t n) {
  const uint32_t from = Offset();
  position += n;
  if (!events) {
    return;
  }
  for (const TSoundNotifyPosition& p : positions) {
    if (p.Offset >= from && p.Offset - from < n) {
      events->Signal(p.EventIndex);
    }
  }
}
