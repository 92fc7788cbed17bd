// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The 36 PCM formats a device can be given, their list texts, and block conversion between formats.

#include "dsp/WaveFormat.h"

#include <array>
#include <cstdint>
#include <string>

inline constexpr int FormatCount = 36;
// The highest rate a file input takes: far above any recorded sound (768 kHz is the fastest converter
// rate in use); a larger rate is a broken header, and its blocks (a tenth of a second each) would not
// fit in memory.
inline constexpr uint32_t MaxFileSampleRate = 1000000;
// 8000 ... 48000 Hz ascending; per rate mono 8, stereo 8, mono 16, stereo 16 bits; extra size 20.
extern const std::array<TWaveFormat, FormatCount> FormatTable;

// "44,100 КГц, 16 бит, стерео (172 Кб/с)"
std::string FormatText(const TWaveFormat& format);
std::string FormatName(int index);
// "44,100 КГц" (any rate, "0,007 КГц" too).
std::string RateText(uint32_t sampleRate);
// "1 канал", "3 канала", "6 каналов".
std::string ChannelCountText(uint32_t channels);
// Index of the first entry equal in all seven fields; 0 when none is.
int FindFormat(const TWaveFormat& format);

// Fills the destination block from the source block: a copy of destBytes bytes for equal formats;
// otherwise 8 <-> 16 bits, mono <-> stereo (stereo to mono averages) and, one-shot, the rate.
// Failures raise TDSPException through RaiseACMError.
void ConvertAudio(const TWaveFormat& srcFormat, const uint8_t* src, int32_t srcBytes,
                  const TWaveFormat& dstFormat, uint8_t* dst, int32_t dstBytes);

// The description of a conversion result code; empty for a code outside the table.
std::string ACMResultDescription(uint32_t code);
[[noreturn]] void RaiseACMError(uint32_t code, int32_t line, const std::string& operation);
