// SPDX-License-Identifier: GPL-3.0-or-later
// The file input on files that are not RIFF/WAVE, which go through libsndfile: Open, then Read block
// after block until the end notice, then Rewind and the first block again. Whatever the library
// accepts reaches the chain as 16-bit PCM, mono or stereo at a rate the block rule takes, in whole
// blocks with only the last one short; the same first block comes back after Rewind; every failure
// is a TDSPException that names the file.

#include "FuzzTools.h"

#include "devices/WaveFile.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Enough blocks to cross every decoder's internal frame several times; a file that decodes to more
// (a few bytes of FLAC can stand for minutes of silence) is not read further.
constexpr int MaxBlocks = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzzing::StartsAsWave(data, size)) {
    return 0; // the WAVE reader's own (fuzz_wave_reader)
  }
  static const fuzzing::TScratchFile scratch(".snd");
  const std::string file = scratch.Write(data, size);
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  bool opened = false;
  try {
    reader.Open();
    opened = true;
    FUZZ_CHECK(reader.Decoded());
    const TWaveFormat& f = reader.Buffer().Format();
    FUZZ_CHECK(f.wFormatTag == 1 && f.wBitsPerSample == 16);
    FUZZ_CHECK(f.nChannels == 1 || f.nChannels == 2);
    FUZZ_CHECK(f.nSamplesPerSec >= 1 && f.nSamplesPerSec <= 1000000);
    FUZZ_CHECK(f.nBlockAlign == f.nChannels * 2);
    FUZZ_CHECK(reader.Buffer().CapacityFrames() == BlockFrames(f.nSamplesPerSec));
    FUZZ_CHECK(!reader.FileFormatText().empty());
    std::vector<uint8_t> first;
    bool shortSeen = false;
    int blocks = 0;
    try {
      for (; blocks < MaxBlocks; ++blocks) {
        reader.Read();
        const TAudioBuffer& b = reader.Buffer();
        FUZZ_CHECK(!shortSeen); // nothing follows a short block but the notice
        FUZZ_CHECK(b.Frames() > 0 && b.Frames() <= b.CapacityFrames());
        FUZZ_CHECK(b.Bytes() == b.Frames() * f.nBlockAlign);
        shortSeen = b.Frames() < b.CapacityFrames();
        if (blocks == 0) {
          first.assign(b.Data(), b.Data() + b.Bytes());
        }
      }
    } catch (const TDSPException& e) {
      if (e.Informational == 0) {
        throw;
      }
      FUZZ_CHECK(e.Description == "Достигнут конец файла");
    }
    // Over again from the first frame: the same first block.
    FUZZ_CHECK(reader.CanRewind());
    reader.Rewind();
    if (!first.empty()) {
      reader.Read();
      FUZZ_CHECK(reader.Buffer().Bytes() == static_cast<int32_t>(first.size()));
      FUZZ_CHECK(std::memcmp(reader.Buffer().Data(), first.data(), first.size()) == 0);
    }
  } catch (const TDSPException& e) {
    FUZZ_CHECK(e.Informational == 0 || opened);
    FUZZ_CHECK(e.Description.rfind("Файл \"" + file + "\": ", 0) == 0);
    FUZZ_CHECK(e.Operation.empty() || e.Operation == "ReadFile");
  }
  reader.Close();
  return 0;
}
