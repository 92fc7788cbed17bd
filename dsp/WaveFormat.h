// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The PCM format record: the field layout of the platform WAVEFORMATEX, held in a 20-byte field.
// Samples are interleaved, channel 0 first; 8-bit samples are unsigned (silence 128), 16-bit samples
// signed little-endian (silence 0).

#include <cstdint>

struct TWaveFormat {
  uint16_t wFormatTag = 1;         // 1 = PCM
  uint16_t nChannels = 1;          // 1 or 2
  uint32_t nSamplesPerSec = 8000;  // frames per second
  uint32_t nAvgBytesPerSec = 8000; // nSamplesPerSec * nBlockAlign
  uint16_t nBlockAlign = 1;        // nChannels * wBitsPerSample / 8
  uint16_t wBitsPerSample = 8;     // 8 or 16
  uint16_t cbSize = 20;            // extra size; never written to a file
  uint16_t Padding = 0;            // the two bytes that make the 20-byte field

  // Two formats are equal only when all seven fields are equal.
  friend bool operator==(const TWaveFormat& a, const TWaveFormat& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
           a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample && a.cbSize == b.cbSize;
  }
};
static_assert(sizeof(TWaveFormat) == 20);

// A PCM format with the derived fields filled in and extra size 20, as in the format table.
constexpr TWaveFormat MakePCMFormat(uint32_t sampleRate, uint16_t channels, uint16_t bits) {
  TWaveFormat f;
  f.wFormatTag = 1;
  f.nChannels = channels;
  f.nSamplesPerSec = sampleRate;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = sampleRate * f.nBlockAlign;
  f.wBitsPerSample = bits;
  f.cbSize = 20;
  return f;
}
