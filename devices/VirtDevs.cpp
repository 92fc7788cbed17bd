// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/VirtDevs.h"

#include "devices/AudioFormats.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* SourceFile = "VirtDevs.cpp";

struct TResult {
  uint32_t Code;
  const char* Description;
};

constexpr TResult Results[] = {
    {0x80004001, "The function called is not supported at this time"},
    {0x80004002, "The requested COM interface is not available"},
    {0x80004005, "An undetermined error occurred inside the DirectSound subsystem"},
    {0x80040110, "The object does not support aggregation"},
    {0x8007000E,
     "The DirectSound subsystem could not allocate sufficient memory to complete the caller's request"},
    {0x80070057, "An invalid parameter was passed to the returning function"},
    {0x8878000A,
     "The request failed because resources, such as a priority level, were already in use by another "
     "caller"},
    {0x8878001E, "The buffer control (volume, pan, and so on) requested by the caller is not available"},
    {0x88780032, "This function is not valid for the current state of this object"},
    {0x88780046, "The caller does not have the priority level required for the function to succeed"},
    {0x88780064, "The specified wave format is not supported"},
    {0x88780078, "No sound driver is available for use"},
    {0x88780096, "The buffer memory has been lost and must be restored"},
    {0x887800AA,
     "The IDirectSound::Initialize method has not been called or has not been called successfully "
     "before other methods were called"},
};

const char* OrNone(const std::string& text) {
  return text.empty() ? "Нет" : text.c_str();
}

} // namespace

// ---- Error record --------------------------------------------------------------------------

std::string ResultDescription(uint32_t code) {
  for (const TResult& r : Results) {
    if (r.Code == code) {
      return r.Description;
    }
  }
  return {};
}

void RaiseResultError(uint32_t code, int32_t line, const std::string& operation) {
  TDSPException e;
  e.ResultCode = code;
  e.SourceFile = SourceFile;
  e.SourceLine = line;
  e.Operation = operation;
  e.Description = ResultDescription(code);
  throw e;
}

void RaiseSystemError(int32_t line, const std::string& text, const std::string& subject) {
  const int code = errno;
  TDSPException e;
  e.ResultCode = static_cast<uint32_t>(code);
  e.SourceFile = SourceFile;
  e.SourceLine = line;
  const std::string lead = subject.empty() ? std::string() : subject + ": ";
  if (code != 0) {
    // The system's own words for the code (thread-safe, and the same in every locale).
    const char* system = ::strerrordesc_np(code);
    e.Operation = text;
    e.Description = lead + (system != nullptr ? system : "Unknown error " + std::to_string(code));
  } else {
    e.Description = lead + text;
  }
  throw e;
}

void RaiseNotice(const std::string& text) {
  TDSPException e;
  e.Informational = 1;
  e.Description = text;
  throw e;
}

TDSPMessage ComposeDSPMessage(const TDSPException& e) {
  TDSPMessage m;
  if (e.Informational != 0) {
    m.Caption = "Сообщение";
    m.Text = e.Description;
    m.Informational = true;
    return m;
  }
  m.Caption = "Ошибка";
  // Built piece by piece: a long operation or path is never cut.
  char code[32];
  std::snprintf(code, sizeof code, "0x%08X", e.ResultCode);
  m.Text = std::string("Описание ошибки: ") + OrNone(e.Description) + "\nКод ошибки: " + code + "\nФайл \"" +
           e.SourceFile + "\", строка " + std::to_string(e.SourceLine) + "\nФункция: " + OrNone(e.Operation);
  m.Informational = false;
  return m;
}

// ---- Block buffer ----------------------------------------------------------------------------

int32_t BlockFrames(uint32_t sampleRate) {
  const uint32_t tenth = sampleRate / 10;
  if (tenth < 2) {
    return 1; // below 20 Hz (and the refused rate 0): one frame per block
  }
  uint32_t frames = 1;
  while (frames <= tenth / 2) {
    frames <<= 1;
  }
  return static_cast<int32_t>(frames);
}

bool IsBlockFramesChoice(int32_t frames) {
  return frames == 0 || std::find(std::begin(BlockFramesChoices), std::end(BlockFramesChoices), frames) !=
                            std::end(BlockFramesChoices);
}

std::string BlockFramesChoicesText() {
  std::string text;
  const size_t count = std::size(BlockFramesChoices);
  for (size_t i = 0; i < count; ++i) {
    text += (i == 0 ? "" : i + 1 == count ? " или " : ", ") + std::to_string(BlockFramesChoices[i]);
  }
  return text;
}

int32_t SetUpBlockFrames(int32_t choice, uint32_t sampleRate) {
  return choice == 0 ? BlockFrames(sampleRate) : choice;
}

namespace {

// "отсчёт", "отсчёта" or "отсчётов" after n.
const char* FramesWord(int32_t n) {
  const int32_t last = n % 10;
  const int32_t lastTwo = n % 100;
  if (last == 1 && lastTwo != 11) {
    return "отсчёт";
  }
  if (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14)) {
    return "отсчёта";
  }
  return "отсчётов";
}

} // namespace

std::string MillisecondsText(int32_t frames, uint32_t sampleRate) {
  const auto tenths =
      sampleRate == 0 ? 0
                      : std::llround(10000.0 * static_cast<double>(frames) / static_cast<double>(sampleRate));
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " мс";
}

std::string BlockLengthText(int32_t frames, uint32_t sampleRate) {
  return std::to_string(frames) + " " + FramesWord(frames) + " (" + MillisecondsText(frames, sampleRate) +
         ")";
}

std::string BlockChoiceText(int32_t choice, uint32_t sampleRate) {
  if (sampleRate == 0) {
    return choice == 0 ? "По умолчанию (от 50 до 100 мс)" : std::to_string(choice) + " " + FramesWord(choice);
  }
  if (choice != 0) {
    return BlockLengthText(choice, sampleRate);
  }
  const int32_t frames = BlockFrames(sampleRate);
  return "По умолчанию (" + std::to_string(frames) + " " + FramesWord(frames) + ", " +
         MillisecondsText(frames, sampleRate) + ")";
}

TAudioBuffer TAudioBuffer::ShapedLike(const TAudioBuffer& other) {
  TAudioBuffer b;
  b.format = other.format;
  b.SetFrames(other.capacityFrames);
  return b;
}

void TAudioBuffer::SetFrames(int32_t n) {
  frames = n < 0 ? 0 : n;
  capacityFrames = frames;
  bytes = frames * format.nBlockAlign;
  data.assign(static_cast<size_t>(bytes), 0);
  Silence();
}

void TAudioBuffer::SetLength(int32_t n) {
  frames = std::clamp(n, 0, capacityFrames);
  bytes = frames * format.nBlockAlign;
}

void TAudioBuffer::Silence() {
  std::memset(data.data(), format.wBitsPerSample == 8 ? 128 : 0, data.size());
}

void TAudioBuffer::ConvertFrom(const TAudioBuffer& source) {
  ConvertAudio(source.format, source.Data(), source.bytes, format, Data(), bytes);
}

// ---- Devices ---------------------------------------------------------------------------------

void TAudioDevice::SetBlockFrames(int32_t frames) {
  if (!IsBlockFramesChoice(frames)) {
    RaiseResultError(0x80070057u, __LINE__, "TAudioDevice::SetBlockFrames");
  }
  blockChoice = frames;
}

void TAudioDevice::SetFormat(const TWaveFormat& format) {
  buffer.Format() = format;
  formatChosen = true;
}

void TAudioDevice::Open() {
  buffer.SetFrames(SetUpBlockFrames(blockChoice, buffer.Format().nSamplesPerSec));
}
