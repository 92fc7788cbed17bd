// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/VirtDevs.h"

#include "devices/AudioFormats.h"
#include "devices/FileWriter.h"
#include "devices/RateConverter.h"
#include "devices/WaveFile.h"

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

// What the list keeps beside each output: the streaming converter of an output whose rate
// differs from the working buffer's, made at Prepare or on the first ConvertAll, how its last drain
// ended, and its place among the writer thread's files.
struct TPlaybackDevsList::TOutput {
  std::unique_ptr<TRateConverter> Converter;
  bool Drained = true;
  int File = -1;
};

TPlaybackDevsList::TPlaybackDevsList() = default;

TPlaybackDevsList::~TPlaybackDevsList() {
  if (writer) {
    writer->Close(); // the files completed on the writer's thread before their devices go
  }
  // Outputs go in list order; each device's destructor closes it.
  for (auto& device : items) {
    device.reset();
  }
}

void TPlaybackDevsList::Prepare(const TAudioBuffer& source, bool live) {
  std::vector<TWAVEFilePlaybackDevice*> files;
  for (size_t i = 0; i < items.size(); ++i) {
    TPlaybackDevice* device = items[i].get();
    if (!device) {
      continue;
    }
    TAudioBuffer& target = device->Buffer();
    std::unique_ptr<TRateConverter>& converter = items_state[i]->Converter;
    if (target.Format().nSamplesPerSec != source.Format().nSamplesPerSec &&
        (!converter || !(converter->SourceFormat() == source.Format()) ||
         !(converter->DestinationFormat() == target.Format()))) {
      converter = std::make_unique<TRateConverter>(source.Format(), source.CapacityFrames(), target.Format(),
                                                   target.CapacityFrames());
    }
    if (auto* file = dynamic_cast<TWAVEFilePlaybackDevice*>(device); file != nullptr && !writer) {
      items_state[i]->File = static_cast<int>(files.size());
      files.push_back(file);
    }
  }
  if (!files.empty()) {
    writer = std::make_unique<TFileWriter>(std::move(files), live ? TFileWriter::TWhenFull::Drop
                                                                  : TFileWriter::TWhenFull::Wait);
  }
}

void TPlaybackDevsList::WriteOne(size_t i) {
  const int file = items_state[i]->File;
  if (writer && file >= 0) {
    writer->Push(file);
  } else {
    items[i]->Write();
  }
}

void TPlaybackDevsList::Add(std::unique_ptr<TPlaybackDevice> device) {
  items_state.push_back(std::make_unique<TOutput>());
  items.push_back(std::move(device));
}

void TPlaybackDevsList::OpenAll() {
  for (auto& device : items) {
    if (device) {
      device->Open();
    }
  }
}

std::vector<TDSPException> TPlaybackDevsList::CloseAll() {
  const std::vector<std::optional<TDSPException>> files =
      writer ? writer->Close() : std::vector<std::optional<TDSPException>>{};
  std::vector<TDSPException> failures;
  for (size_t i = 0; i < items.size(); ++i) {
    const int file = items_state[i]->File;
    if (writer && file >= 0) {
      if (const auto& end = files[static_cast<size_t>(file)]) {
        failures.push_back(*end);
      }
      continue;
    }
    try {
      if (items[i]) {
        items[i]->Close();
      }
    } catch (const TDSPException& e) {
      failures.push_back(e);
    }
  }
  return failures;
}

void TPlaybackDevsList::StartAll() {
  for (auto& device : items) {
    if (device) {
      device->Start();
    }
  }
}

void TPlaybackDevsList::StopAll() {
  for (auto& device : items) {
    if (device) {
      device->Stop();
    }
  }
}

namespace {

// A ring or wave-audio output plays at its device's pace and keeps its own time.
bool HasOwnClock(const TPlaybackDevice& device) {
  return device.Kind() == dkDirectSoundPlayback || device.Kind() == dkWaveAudioPlayback;
}

} // namespace

void TPlaybackDevsList::ConvertAll(const TAudioBuffer& source) {
  Convert(source, TWhich::All);
}

void TPlaybackDevsList::WriteAll() {
  Write(TWhich::All);
}

void TPlaybackDevsList::WriteGap(const TAudioBuffer& silence) {
  Convert(silence, TWhich::WithoutClock);
  Write(TWhich::WithoutClock);
}

void TPlaybackDevsList::Convert(const TAudioBuffer& source, TWhich which) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (!items[i] || (which == TWhich::WithoutClock && HasOwnClock(*items[i]))) {
      continue;
    }
    TAudioBuffer& target = items[i]->Buffer();
    TOutput& output = *items_state[i];
    if (target.Format().nSamplesPerSec == source.Format().nSamplesPerSec) {
      // Same rate, same block size: a short source block gives a short output block.
      target.SetLength(source.Frames());
      target.ConvertFrom(source);
      continue;
    }
    std::unique_ptr<TRateConverter>& converter = output.Converter;
    if (!converter || !(converter->SourceFormat() == source.Format()) ||
        !(converter->DestinationFormat() == target.Format())) {
      converter = std::make_unique<TRateConverter>(source.Format(), source.Frames(), target.Format(),
                                                   target.Frames());
    }
    converter->Push(source.Data(), source.Bytes());
  }
}

void TPlaybackDevsList::Write(TWhich which) {
  for (size_t i = 0; i < items.size(); ++i) {
    TPlaybackDevice* device = items[i].get();
    if (!device || (which == TWhich::WithoutClock && HasOwnClock(*device))) {
      continue;
    }
    TRateConverter* converter = items_state[i]->Converter.get();
    if (!converter) {
      WriteOne(i);
      continue;
    }
    // Zero, one or more whole blocks of the output's own size, as the converter has them.
    TAudioBuffer& target = device->Buffer();
    target.SetLength(target.CapacityFrames());
    while (target.Frames() > 0 && converter->Pop(target.Data(), target.Frames())) {
      WriteOne(i);
    }
  }
}

void TPlaybackDevsList::FlushAll() {
  for (size_t i = 0; i < items.size(); ++i) {
    TPlaybackDevice* device = items[i].get();
    TRateConverter* converter = items_state[i]->Converter.get();
    if (!device || !converter) {
      continue;
    }
    converter->Flush();
    TAudioBuffer& target = device->Buffer();
    const int32_t blockFrames = target.CapacityFrames();
    while (converter->QueuedFrames() > 0 && blockFrames > 0) {
      const int32_t frames = std::min(converter->QueuedFrames(), blockFrames);
      target.SetLength(frames);
      converter->Pop(target.Data(), frames);
      WriteOne(i);
    }
    target.SetLength(blockFrames);
  }
}

bool TPlaybackDevsList::DrainAll(const std::atomic<bool>& cancel) {
  if (writer) {
    writer->Drain(); // every block in its file; a failed writing is raised here
  }
  bool whole = true;
  for (size_t i = 0; i < items.size(); ++i) {
    TPlaybackDevice* device = items[i].get();
    const bool drained = device == nullptr || device->Drain(cancel);
    items_state[i]->Drained = drained;
    whole = whole && drained;
  }
  return whole;
}

bool TPlaybackDevsList::Drained(int index) const {
  return items_state[static_cast<size_t>(index)]->Drained;
}

int64_t TPlaybackDevsList::FileLostFrames() const {
  return writer ? writer->LostFrames() : 0;
}

uint64_t TPlaybackDevsList::Dropouts() const {
  uint64_t total = writer ? writer->Overflows() : 0;
  for (const auto& device : items) {
    if (device) {
      total += device->Dropouts();
    }
  }
  return total;
}

uint32_t TPlaybackDevsList::ServerBufferGrowthMs() const {
  uint32_t most = 0;
  for (const auto& device : items) {
    if (device) {
      most = std::max(most, device->ServerBufferGrowthMs());
    }
  }
  return most;
}
