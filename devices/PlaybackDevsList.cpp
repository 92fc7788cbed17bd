// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/PlaybackDevsList.h"

#include "devices/FileWriter.h"
#include "devices/RateConverter.h"
#include "devices/WaveFile.h"

#include <algorithm>

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
