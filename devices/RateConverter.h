// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Streaming sample-rate conversion of one output: every block of the source format goes in, the
// converted frames (in the destination's rate, channels and bits) queue up, and whole blocks of the
// destination's size come out. One converter lives as long as its output, so the resampler's state
// carries over from block to block: nothing is lost or repeated at block edges. The resampler holds
// back its own delay instead of putting it before the signal, so a frame at time t in comes out at
// time t; Flush at the end of the signal gives up what it holds back, so that T seconds in give T
// seconds out, to the nearest output frame.
//
// Threads: the worker only (ConvertAll and WriteAll).

#include "dsp/WaveFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

class TRateConverter {
public:
  // srcBlockFrames and dstBlockFrames size the scratch buffers and the queue once, so that a pass
  // allocates nothing once warmed up. Raises TDSPException (512, "acmStreamOpen") on failure.
  TRateConverter(const TWaveFormat& srcFormat, int32_t srcBlockFrames, const TWaveFormat& dstFormat,
                 int32_t dstBlockFrames);
  ~TRateConverter();
  TRateConverter(const TRateConverter&) = delete;
  TRateConverter& operator=(const TRateConverter&) = delete;

  const TWaveFormat& SourceFormat() const { return srcFormat; }
  const TWaveFormat& DestinationFormat() const { return dstFormat; }

  // Converts one source block and queues what the resampler gives back.
  void Push(const uint8_t* src, int32_t srcBytes);
  // The end of the signal: queues what the resampler still holds, so that the frames queued since
  // the start (or the last Flush) number round(source frames * destination rate / source rate).
  // The next Push starts a new signal.
  void Flush();
  // Frames waiting in the queue.
  int32_t QueuedFrames() const;
  // Moves the oldest `frames` frames into dst when that many are queued; false otherwise.
  bool Pop(uint8_t* dst, int32_t frames);
  // Capacity reserved for the queue, in bytes (for tests of the no-allocation rule).
  size_t QueueCapacity() const { return queue.capacity(); }

private:
  // Queues `made` converted frames from `out`.
  void Queue(size_t made);

  struct TDeleter {
    void operator()(soxr* p) const;
  };

  TWaveFormat srcFormat;
  TWaveFormat dstFormat;
  int32_t dstFrameBytes;
  int64_t framesIn = 0;  // source frames pushed since the start of the signal
  int64_t framesOut = 0; // destination frames queued since the start of the signal
  std::unique_ptr<soxr, TDeleter> resampler;
  std::vector<float> in;      // one source block, decoded to the destination's channel count
  std::vector<float> out;     // what one call of the resampler can give
  std::vector<uint8_t> queue; // encoded destination frames, oldest first
};
