// SPDX-License-Identifier: GPL-3.0-or-later
// Block conversion between two entries of the format table, on arbitrary sample bytes. The first
// two bytes choose the source and destination entries, the next two shorten the source and the
// destination blocks (a short last block, an odd byte count); the rest is the samples. Both the
// one-shot ConvertAudio and the streaming converter of an output run; neither may touch a byte
// outside its buffers, equal formats copy, and the flushed stream lasts the source's duration.

#include "FuzzTools.h"

#include "devices/AudioFormats.h"
#include "devices/RateConverter.h"
#include "devices/VirtDevs.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) {
    return 0;
  }
  const TWaveFormat& src = FormatTable[data[0] % FormatCount];
  const TWaveFormat& dst = FormatTable[data[1] % FormatCount];
  const uint8_t srcCut = data[2];
  const uint8_t dstCut = data[3];
  data += 4;
  size -= 4;

  // Source: the sample bytes, cut short by up to 255 bytes when asked.
  const size_t srcBytes = size - std::min<size_t>(size, srcCut);
  const std::vector<uint8_t> source(data, data + srcBytes);
  // Destination: the block of its own format, cut short by up to 255 bytes.
  const int32_t fullBlock = BlockFrames(dst.nSamplesPerSec) * dst.nBlockAlign;
  const int32_t dstBytes = fullBlock - std::min<int32_t>(fullBlock, dstCut);
  std::vector<uint8_t> destination(static_cast<size_t>(dstBytes), 0x5A);

  try {
    ConvertAudio(src, source.data(), static_cast<int32_t>(source.size()), dst, destination.data(), dstBytes);
  } catch (const TDSPException&) {
    FUZZ_CHECK(false); // every pair of table formats converts
  }
  if (src == dst) {
    const size_t copied = std::min<size_t>(srcBytes, static_cast<size_t>(dstBytes));
    FUZZ_CHECK(copied == 0 || std::memcmp(destination.data(), source.data(), copied) == 0);
  }

  if (src.nSamplesPerSec != dst.nSamplesPerSec && dstBytes > 0) {
    // The streaming path: whole source blocks in, whole destination blocks out.
    const int32_t srcFrames = BlockFrames(src.nSamplesPerSec);
    const int32_t dstFrames = BlockFrames(dst.nSamplesPerSec);
    TRateConverter converter(src, srcFrames, dst, dstFrames);
    std::vector<uint8_t> block(static_cast<size_t>(srcFrames) * src.nBlockAlign);
    std::vector<uint8_t> out(static_cast<size_t>(dstFrames) * dst.nBlockAlign);
    int64_t framesIn = 0;
    int64_t framesOut = 0;
    for (size_t at = 0; at < srcBytes; at += block.size()) {
      // The last block as short as the samples that are left, as at the end of a file.
      const size_t n = std::min(block.size(), srcBytes - at);
      const size_t whole = n - n % static_cast<size_t>(src.nBlockAlign);
      std::memcpy(block.data(), source.data() + at, whole);
      converter.Push(block.data(), static_cast<int32_t>(whole));
      framesIn += static_cast<int64_t>(whole / src.nBlockAlign);
      while (converter.Pop(out.data(), dstFrames)) {
        framesOut += dstFrames;
      }
      FUZZ_CHECK(converter.QueuedFrames() < dstFrames);
    }
    // The flush ends the signal at its own length at the new rate.
    converter.Flush();
    framesOut += converter.QueuedFrames();
    const int64_t rateIn = src.nSamplesPerSec;
    FUZZ_CHECK(framesOut == (framesIn * dst.nSamplesPerSec + rateIn / 2) / rateIn);
  }
  return 0;
}
