// SPDX-License-Identifier: GPL-3.0-or-later
// The WAVE file reader on arbitrary files: Open, then Read block after block until the end-of-file
// notice or an error. A file can never yield more frames than it holds, a short block comes only last,
// every accepted format is one the chain and the outputs can take (8- or 16-bit PCM, whatever the
// file holds), and every failure is a TDSPException that names the file.

#include "FuzzTools.h"

#include "devices/WaveFile.h"

#include <cstring>
#include <string>

namespace {

bool KnownOperation(const std::string& text) {
  return text.empty() || text == "CreateFile" || text == "ReadFile";
}

// A description: the end notice, or the file's name and then a header check's message or the
// system's text.
bool KnownDescription(const std::string& text, const std::string& file) {
  if (text == "Достигнут конец файла") {
    return true;
  }
  const std::string lead = "Файл \"" + file + "\": ";
  if (text.rfind(lead, 0) != 0) {
    return false;
  }
  const std::string rest = text.substr(lead.size());
  return !rest.empty() &&
         (rest == "Неверный формат файла" || rest.rfind("Неподдерживаемый формат файла: в файле ", 0) == 0 ||
          (static_cast<unsigned char>(rest[0]) < 0x80)); // the system's English text
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzing::StartsAsWave(data, size)) {
    return 0; // a file of another kind goes to libsndfile (fuzz_sound_file)
  }
  static const fuzzing::TScratchFile scratch(".wav");
  TWAVEFileRecordingDevice reader;
  const std::string file = scratch.Write(data, size);
  reader.SetFileName(file);
  bool opened = false;
  uint64_t frames = 0;
  bool shortSeen = false;
  try {
    reader.Open();
    opened = true;
    const TWaveFormat& f = reader.Buffer().Format();
    FUZZ_CHECK(f.wFormatTag == 1);
    FUZZ_CHECK(f.nChannels == 1 || f.nChannels == 2);
    FUZZ_CHECK(f.wBitsPerSample == 8 || f.wBitsPerSample == 16);
    FUZZ_CHECK(f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8);
    FUZZ_CHECK(f.nSamplesPerSec > 0);
    FUZZ_CHECK(reader.Buffer().Bytes() > 0);
    FUZZ_CHECK(reader.Buffer().Bytes() == reader.Buffer().Frames() * f.nBlockAlign);
    const int fileFrameBytes = f.nChannels * reader.FileFormat().Bits / 8;
    FUZZ_CHECK(fileFrameBytes > 0);
    FUZZ_CHECK(reader.Converted() == (f.wBitsPerSample == 16 && reader.FileFormat().Bits != 16));
    reader.Start();
    for (;;) {
      reader.Read();
      const TAudioBuffer& b = reader.Buffer();
      FUZZ_CHECK(!shortSeen); // nothing follows a short block but the notice
      FUZZ_CHECK(b.Frames() > 0 && b.Frames() <= b.CapacityFrames());
      FUZZ_CHECK(b.Bytes() == b.Frames() * f.nBlockAlign);
      shortSeen = b.Frames() < b.CapacityFrames();
      frames += static_cast<uint64_t>(b.Frames());
      // More frames than the file has bytes for would be a reader that never ends.
      FUZZ_CHECK(frames * static_cast<uint64_t>(fileFrameBytes) <= size);
    }
  } catch (const TDSPException& e) {
    FUZZ_CHECK(KnownDescription(e.Description, file));
    FUZZ_CHECK(KnownOperation(e.Operation));
    // The end of the samples is a notice, and only a reader that opened gets there.
    FUZZ_CHECK(e.Informational == 0 || (opened && e.Description == "Достигнут конец файла"));
  }
  reader.Stop();
  reader.Close();
  return 0;
}
