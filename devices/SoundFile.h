// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sound files other than WAVE, through libsndfile. The WAVE file devices hand such files over here:
// the reader a file that is not RIFF/WAVE (FLAC, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64, RF64 and
// whatever else the library reads), the writer a name that ends in .flac, .ogg or .opus.
//
// Samples reach the block as 16-bit PCM, mono or stereo, at the file's own rate: integer samples
// rounded to the nearest (halves up), floating-point and decoded samples rounded to the nearest, both
// saturated. Writing takes the block's table format: FLAC keeps 8 or 16 bits; Ogg Vorbis and Opus
// encode at the library's default quality.
//
// Threads: the devices' own (Open and destruction on the window thread, Read and Write on the
// worker). The free functions touch no shared state and may run on any thread.

#include "devices/PcmSamples.h"
#include "dsp/WaveFormat.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// ---- Kinds of file output ---------------------------------------------------------------------

enum class TFileKind { Wave, Flac, OggVorbis, Opus };

struct TFileKindInfo {
  TFileKind Kind;
  const char* Name;      // "FLAC", as the user reads it
  const char* Extension; // "flac": the name ending that chooses it, and the word --out-type takes
  const char* Holder;    // what an existing file must be to be overwritten: "WAVE", "FLAC", "Ogg"
  bool Streams;          // whether it can be written where nothing can be rewritten (a pipe)
};

const TFileKindInfo& FileKindInfo(TFileKind kind);
const std::vector<TFileKindInfo>& FileKinds();
// The kind a file name asks for by its ending (letter case ignored); `otherwise` for "-" and for every
// other ending.
TFileKind FileKindOfName(const std::string& name, TFileKind otherwise = TFileKind::Wave);
// The kind named by its extension word ("flac"), if there is one.
std::optional<TFileKind> FileKindOfWord(const std::string& word);
// Whether the existing file `name` holds sound of the container `kind` writes (RIFF/WAVE, FLAC, Ogg).
bool HoldsFileKind(const std::string& name, TFileKind kind);

// What stands in the way of writing `kind` in `format` to `name` ("-" is standard output), empty when
// nothing does: a rate the container cannot hold ("формат Opus не принимает частоту 44,100 КГц
// (допустимы 8, 12, 16, 24 и 48 КГц)"), or a container that cannot be written to a pipe, a terminal
// or a device. Opens nothing for writing.
std::string FileOutputProblem(const std::string& name, TFileKind kind, const TWaveFormat& format);

// The name patterns of every file an input can read ("*.aiff", "*.flac", ...), sorted.
std::vector<std::string> ReadableFilePatterns();

// ---- Reading ----------------------------------------------------------------------------------

struct sf_private_tag;

class TSoundFileReader {
public:
  // Reads the regular file open on `fd`, which must stay open as long as the reader. What the library
  // cannot read, or a file of more than two channels, raises a header error that names `subject`
  // ("Файл \"in.mp4\"") and says what the file holds.
  TSoundFileReader(int fd, const std::string& subject);
  ~TSoundFileReader();
  TSoundFileReader(const TSoundFileReader&) = delete;
  TSoundFileReader& operator=(const TSoundFileReader&) = delete;

  uint16_t Channels() const { return channels; }
  uint32_t SampleRate() const { return sampleRate; }
  // Frames the file says it holds, or -1 when it does not know.
  int64_t Frames() const { return frames; }
  // Whether the samples are anything but 16-bit integers (and so are converted).
  bool Converted() const { return converted; }
  // "FLAC, 48,000 КГц, 24 бит, стерео", "MP3, 44,100 КГц, моно".
  const std::string& FormatText() const { return formatText; }

  // Makes room for blocks of up to `frames` frames.
  void Reserve(int32_t frames);
  // Decodes up to `frames` frames (at most what Reserve made room for) into 16-bit PCM at `dst`;
  // fewer only at the end of the sound. A failed read of the file raises "ReadFile".
  int32_t Read(uint8_t* dst, int32_t frames);
  // Back to the first frame.
  void Rewind();

  struct TStream; // the file as the library reads it

private:
  std::unique_ptr<TStream> stream;
  sf_private_tag* file = nullptr;
  std::string subject;
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  int64_t frames = -1;
  bool converted = true;
  TSampleEncoding staged = TSampleEncoding::Signed32; // Signed32 or Float64, as the library gives it
  std::string formatText;
  std::vector<uint8_t> staging;
};

// ---- Writing ----------------------------------------------------------------------------------

class TSoundFileWriter {
public:
  // Starts a `kind` file of `format` on `fd`, which must stay open as long as the writer. `seekable`:
  // whether fd is a regular file written from its start. A format the container cannot take raises.
  TSoundFileWriter(int fd, bool seekable, TFileKind kind, const TWaveFormat& format, int32_t capacityFrames,
                   const std::string& subject);
  // Finishes the file if Finish did not, reporting nothing: whoever wants to know calls Finish.
  ~TSoundFileWriter();
  TSoundFileWriter(const TSoundFileWriter&) = delete;
  TSoundFileWriter& operator=(const TSoundFileWriter&) = delete;

  // Encodes `frames` frames of the format's PCM (at most capacityFrames). A failed write raises
  // "WriteFile" with the system's code; the file then ends with the last page or frame written whole,
  // and nothing more is written to it.
  void Write(const uint8_t* data, int32_t frames);
  // Writes what the encoder still holds and completes the file's header; safe to call twice. A write
  // that fails on the way raises "WriteFile" with the system's code, an encoder that fails to end its
  // stream raises its own words; after a Write that raised, nothing more is reported (the file is
  // known to end early).
  void Finish();

  struct TStream;

private:
  std::unique_ptr<TStream> stream;
  sf_private_tag* file = nullptr;
  TFileKind kind = TFileKind::Flac;
  TWaveFormat format;
  std::string subject;
  std::vector<int16_t> staging;
  bool failed = false; // a Write raised
};
