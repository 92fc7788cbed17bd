// The WAVE file reader on arbitrary files: Open, then Read block after block until the end-of-file
// notice or an error. A file can never yield more sample bytes than it holds, every accepted format
// is one the chain and the outputs can take, and every failure is a TDSPException.

#include "FuzzTools.h"

#include "devices/WaveFile.h"

#include <cstring>
#include <string>

namespace {

bool KnownText(const std::string& text) {
  return text == "Неверный формат файла" || text == "Неподдерживаемый формат файла" ||
         text == "Достигнут конец файла" || text == "CreateFile" || text == "ReadFile";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzzing::TScratchFile scratch(".wav");
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(scratch.Write(data, size));
  bool opened = false;
  uint64_t sampleBytes = 0;
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
    reader.Start();
    for (;;) {
      reader.Read();
      sampleBytes += static_cast<uint64_t>(reader.Buffer().Bytes());
      // More whole blocks than the file has bytes would be a reader that never ends.
      FUZZ_CHECK(sampleBytes <= size);
    }
  } catch (const TDSPException& e) {
    FUZZ_CHECK(KnownText(e.Description) || KnownText(e.Operation));
    // The end of the samples is a notice, and only a reader that opened gets there.
    FUZZ_CHECK(e.Informational == 0 || (opened && e.Description == "Достигнут конец файла"));
  }
  reader.Stop();
  reader.Close();
  return 0;
}
