// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sample-level helpers of the format conversion: interleaved 8-bit unsigned or 16-bit signed
// little-endian PCM, mono or stereo. Channel counts are mapped on the way in: mono to stereo
// duplicates the channel, stereo to mono averages the two.

#include "dsp/WaveFormat.h"

#include <cstddef>
#include <cstdint>

// PCM with 1 or 2 channels of 8 or 16 bits and a nonzero rate.
bool IsConvertiblePCM(const TWaveFormat& format);
// Bytes per frame as the channels and bits give it (the block-align field is not trusted).
int32_t FrameBytes(const TWaveFormat& format);

// The largest sample magnitude of one channel of n interleaved 8- or 16-bit PCM frames: 128 is full
// scale for 8 bits, 32768 for 16.
int32_t ChannelPeak(const uint8_t* data, int32_t n, int channels, int bits, int channel);

// Converts frames between two formats of the same rate, sample by sample, in integers on the 16-bit
// scale (8-bit b becomes (b - 128) * 256; back, the high byte plus 128).
void ConvertFramesDirect(const TWaveFormat& srcFormat, const uint8_t* src, const TWaveFormat& dstFormat,
                         uint8_t* dst, int32_t frames);

// Decodes frames into interleaved floats in [-1, 1) with dstChannels channels per frame.
void DecodeFrames(const TWaveFormat& srcFormat, const uint8_t* src, int32_t frames, int dstChannels,
                  float* out);
// Encodes interleaved floats of dstFormat's channel count, rounded to nearest and saturated.
void EncodeFrames(const float* in, int32_t frames, const TWaveFormat& dstFormat, uint8_t* dst);

// The sample encodings a WAVE file may hold: the two the devices use, and four the file reader
// converts to 16 bits.
enum class TSampleEncoding { Unsigned8, Signed16, Signed24, Signed32, Float32, Float64 };
int SampleBytes(TSampleEncoding encoding);
// Converts interleaved little-endian samples to 16-bit signed little-endian: integers rounded to
// the nearest (halves up), floats on the scale where 1.0 is full scale, rounded to the nearest;
// values beyond the 16-bit range saturate and not-a-number becomes 0.
void ConvertSamplesTo16(TSampleEncoding encoding, const uint8_t* src, size_t samples, uint8_t* dst);
