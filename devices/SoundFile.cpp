// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/SoundFile.h"

#include "devices/AudioFormats.h"
#include "devices/VirtDevs.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace {

constexpr const char* InvalidFormat = "Неверный формат файла";
constexpr const char* UnsupportedFormat = "Неподдерживаемый формат файла";
constexpr const char* WhatIsRead =
    "читаются WAVE, FLAC, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64, RF64 и другие звуковые форматы";

const std::vector<TFileKindInfo> Kinds = {
    {TFileKind::Wave, "WAVE", "wav", "WAVE", false},
    {TFileKind::Flac, "FLAC", "flac", "FLAC", false},
    {TFileKind::OggVorbis, "Ogg Vorbis", "ogg", "Ogg", true},
    {TFileKind::Opus, "Opus", "opus", "Ogg", true},
};

// The rates a container holds, where it holds only a few.
const char* AllowedRatesText(TFileKind kind) {
  return kind == TFileKind::Opus ? "8, 12, 16, 24 и 48 КГц" : nullptr;
}

int SndFormatOf(TFileKind kind, uint16_t bits) {
  switch (kind) {
  case TFileKind::Flac:
    return SF_FORMAT_FLAC | (bits == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
  case TFileKind::OggVorbis:
    return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  case TFileKind::Opus:
    return SF_FORMAT_OGG | SF_FORMAT_OPUS;
  case TFileKind::Wave:
    break;
  }
  return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::string RateProblem(TFileKind kind, uint32_t rate) {
  std::string text =
      std::string("формат ") + FileKindInfo(kind).Name + " не принимает частоту " + RateText(rate);
  if (const char* allowed = AllowedRatesText(kind)) {
    text += std::string(" (допустимы ") + allowed + ")";
  }
  return text;
}

// ---- The library's view of a file descriptor -----------------------------------------------------

// Reads go straight to the file at the library's position; the first failure is kept for the report.
struct TReadStream {
  int Fd = -1;
  sf_count_t Size = 0;
  sf_count_t Position = 0;
  int Error = 0;
};

SF_VIRTUAL_IO ReadIo() {
  SF_VIRTUAL_IO io{};
  io.get_filelen = [](void* user) -> sf_count_t { return static_cast<TReadStream*>(user)->Size; };
  io.seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
    auto* s = static_cast<TReadStream*>(user);
    const sf_count_t base = whence == SEEK_CUR ? s->Position : whence == SEEK_END ? s->Size : 0;
    if (base + offset < 0) {
      return -1;
    }
    s->Position = base + offset;
    return s->Position;
  };
  io.read = [](void* ptr, sf_count_t count, void* user) -> sf_count_t {
    auto* s = static_cast<TReadStream*>(user);
    sf_count_t done = 0;
    while (done < count) {
      const ssize_t r = ::pread(s->Fd, static_cast<char*>(ptr) + done, static_cast<size_t>(count - done),
                                static_cast<off_t>(s->Position + done));
      if (r < 0 && errno == EINTR) {
        continue;
      }
      if (r < 0) {
        s->Error = s->Error != 0 ? s->Error : errno;
      }
      if (r <= 0) {
        break;
      }
      done += r;
    }
    s->Position += done;
    return done;
  };
  io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
  io.tell = [](void* user) -> sf_count_t { return static_cast<TReadStream*>(user)->Position; };
  return io;
}

// Writes go to the file at the library's position (a stream: after what it has taken, and any seek
// but to where it is fails). After the first failed write nothing more is written, and a failed
// append is cut off, so that the file ends with what the encoder wrote whole.
struct TWriteStream {
  int Fd = -1; // -1: the bytes are counted and dropped (a trial of the encoder)
  bool Seekable = true;
  sf_count_t Position = 0;
  sf_count_t End = 0;
  int Error = 0;
};

SF_VIRTUAL_IO WriteIo() {
  SF_VIRTUAL_IO io{};
  io.get_filelen = [](void* user) -> sf_count_t { return static_cast<TWriteStream*>(user)->End; };
  io.seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
    auto* s = static_cast<TWriteStream*>(user);
    const sf_count_t base = whence == SEEK_CUR ? s->Position : whence == SEEK_END ? s->End : 0;
    const sf_count_t target = base + offset;
    if (target < 0 || (!s->Seekable && target != s->Position)) {
      return -1;
    }
    s->Position = target;
    return target;
  };
  io.read = [](void*, sf_count_t, void*) -> sf_count_t { return 0; };
  io.write = [](const void* ptr, sf_count_t count, void* user) -> sf_count_t {
    auto* s = static_cast<TWriteStream*>(user);
    if (s->Error != 0) {
      return 0;
    }
    const sf_count_t endBefore = s->End;
    sf_count_t done = 0;
    while (s->Fd >= 0 && done < count) {
      const auto* from = static_cast<const char*>(ptr) + done;
      const auto n = static_cast<size_t>(count - done);
      const ssize_t r = s->Seekable ? ::pwrite(s->Fd, from, n, static_cast<off_t>(s->Position + done))
                                    : ::write(s->Fd, from, n);
      if (r < 0 && errno == EINTR) {
        continue;
      }
      if (r <= 0) {
        s->Error = r < 0 ? errno : ENOSPC;
        if (s->Seekable && s->Position >= endBefore) {
          [[maybe_unused]] const int ignored = ::ftruncate(s->Fd, static_cast<off_t>(endBefore));
        }
        return 0;
      }
      done += r;
    }
    s->Position += count;
    s->End = std::max(s->End, s->Position);
    return count;
  };
  io.tell = [](void* user) -> sf_count_t { return static_cast<TWriteStream*>(user)->Position; };
  return io;
}

// ---- What a file holds -----------------------------------------------------------------------------

std::string LibraryName(int format, int command) {
  SF_FORMAT_INFO info{};
  info.format = format;
  return sf_command(nullptr, command, &info, sizeof info) == 0 && info.name != nullptr ? info.name : "";
}

// "FLAC, 48,000 КГц, 24 бит, стерео" from what the library reports.
std::string DescribeSound(const SF_INFO& info) {
  const int major = info.format & SF_FORMAT_TYPEMASK;
  const int sub = info.format & SF_FORMAT_SUBMASK;
  std::string name;
  std::string encoding;
  switch (major) {
  case SF_FORMAT_WAV:
  case SF_FORMAT_WAVEX:
    name = "WAVE";
    break;
  case SF_FORMAT_AIFF:
    name = "AIFF";
    break;
  case SF_FORMAT_AU:
    name = "AU";
    break;
  case SF_FORMAT_W64:
    name = "W64";
    break;
  case SF_FORMAT_RF64:
    name = "RF64";
    break;
  case SF_FORMAT_CAF:
    name = "CAF";
    break;
  case SF_FORMAT_FLAC:
    name = "FLAC";
    break;
  case SF_FORMAT_OGG:
    name = sub == SF_FORMAT_VORBIS ? "Ogg Vorbis" : sub == SF_FORMAT_OPUS ? "Opus" : "Ogg";
    break;
  case SF_FORMAT_MPEG:
    name = sub == SF_FORMAT_MPEG_LAYER_III ? "MP3" : sub == SF_FORMAT_MPEG_LAYER_II ? "MP2" : "MP1";
    break;
  default:
    name = LibraryName(major, SFC_GET_FORMAT_MAJOR);
    break;
  }
  switch (sub) {
  case SF_FORMAT_PCM_S8:
  case SF_FORMAT_PCM_U8:
    encoding = "8 бит";
    break;
  case SF_FORMAT_PCM_16:
    encoding = "16 бит";
    break;
  case SF_FORMAT_PCM_24:
    encoding = "24 бит";
    break;
  case SF_FORMAT_PCM_32:
    encoding = "32 бит";
    break;
  case SF_FORMAT_FLOAT:
    encoding = "32 бит с плавающей точкой";
    break;
  case SF_FORMAT_DOUBLE:
    encoding = "64 бит с плавающей точкой";
    break;
  case SF_FORMAT_VORBIS:
  case SF_FORMAT_OPUS:
  case SF_FORMAT_MPEG_LAYER_I:
  case SF_FORMAT_MPEG_LAYER_II:
  case SF_FORMAT_MPEG_LAYER_III:
    break; // the name says it
  default:
    encoding = LibraryName(sub, SFC_GET_FORMAT_SUBTYPE);
    break;
  }
  std::string text = name.empty() ? "звук" : name;
  text += ", " + RateText(static_cast<uint32_t>(std::max(info.samplerate, 0)));
  if (!encoding.empty()) {
    text += ", " + encoding;
  }
  const char* layout = info.channels == 1 ? "моно" : info.channels == 2 ? "стерео" : nullptr;
  return text + ", " +
         (layout != nullptr ? layout : ChannelCountText(static_cast<uint32_t>(std::max(info.channels, 0))));
}

// Sound whose samples the library hands over as floating point: decoders and float files.
bool FloatingSamples(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
  case SF_FORMAT_FLOAT:
  case SF_FORMAT_DOUBLE:
  case SF_FORMAT_VORBIS:
  case SF_FORMAT_OPUS:
  case SF_FORMAT_MPEG_LAYER_I:
  case SF_FORMAT_MPEG_LAYER_II:
  case SF_FORMAT_MPEG_LAYER_III:
    return true;
  default:
    return false;
  }
}

// What a file the library cannot read seems to hold, by its first bytes.
struct TSniffed {
  std::string What;          // empty: nothing recognised
  bool ReadableKind = false; // a kind the library reads: this file must be damaged
};

bool At(const uint8_t* b, size_t n, size_t at, const char* id) {
  const size_t len = std::strlen(id);
  return at + len <= n && std::memcmp(b + at, id, len) == 0;
}

bool LooksLikeText(const uint8_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (b[i] < 0x20 && b[i] != '\n' && b[i] != '\r' && b[i] != '\t') {
      return false;
    }
  }
  return n > 0;
}

TSniffed Sniff(const uint8_t* b, size_t n) {
  struct TMagic {
    size_t At;
    const char* Id;
    const char* What;
    bool Readable;
  };
  static const TMagic Magics[] = {
      {0, "fLaC", "FLAC", true},
      {0, "ID3", "MP3", true},
      {0, "FORM", "AIFF", true},
      {0, ".snd", "AU", true},
      {0, "caff", "CAF", true},
      {0, "riff", "W64", true},
      {0, "RF64", "RF64", true},
      {0, "RIFX", "WAVE с обратным порядком байтов", true},
      {4, "ftyp", "MP4 (M4A, AAC, ALAC)", false},
      {0, "\x1A\x45\xDF\xA3", "Matroska (MKA, WebM)", false},
      {0, "MThd", "MIDI", false},
      {0, "wvpk", "WavPack", false},
      {0, "#!AMR", "AMR", false},
      {0, "\x30\x26\xB2\x75", "ASF (WMA)", false},
  };
  if (At(b, n, 0, "OggS")) {
    if (At(b, n, 28, "\x01vorbis")) {
      return {"Ogg Vorbis", true};
    }
    if (At(b, n, 28, "OpusHead")) {
      return {"Opus", true};
    }
    if (At(b, n, 28, "Speex   ")) {
      return {"Ogg Speex", false};
    }
    if (At(b, n, 28,
           "\x7F"
           "FLAC")) {
      return {"Ogg FLAC", false};
    }
    if (At(b, n, 28, "\x80theora")) {
      return {"видео Ogg Theora", false};
    }
    return {"Ogg", false};
  }
  if (At(b, n, 0, "RIFF")) {
    return {n >= 12 && At(b, n, 8, "AVI ") ? "видео AVI" : "RIFF без звука WAVE", false};
  }
  for (const TMagic& m : Magics) {
    if (At(b, n, m.At, m.Id)) {
      return {m.What, m.Readable};
    }
  }
  if (n >= 2 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0) {
    return {"MPEG", true};
  }
  return {};
}

std::string RefusalOfUnreadable(const uint8_t* head, size_t n, const char* library) {
  if (n == 0) {
    return std::string(InvalidFormat) + ": файл пуст";
  }
  const TSniffed sniffed = Sniff(head, n);
  if (sniffed.What.empty()) {
    return std::string(InvalidFormat) +
           (LooksLikeText(head, n) ? ": в файле текст, а не звук" : ": в файле нет звука известного формата");
  }
  if (sniffed.ReadableKind) {
    return std::string(InvalidFormat) + ": в файле " + sniffed.What + ", который не читается (" + library +
           ")";
  }
  return std::string(UnsupportedFormat) + ": в файле " + sniffed.What + "; " + WhatIsRead;
}

// Whether the encoder takes the format: a trial that drops its bytes, since some encoders refuse a rate
// only at the first frame.
bool EncoderTakes(TFileKind kind, const TWaveFormat& format) {
  if (format.nSamplesPerSec == 0 || format.nSamplesPerSec > MaxFileSampleRate) {
    return false;
  }
  TWriteStream trial;
  SF_VIRTUAL_IO io = WriteIo();
  SF_INFO info{};
  info.samplerate = static_cast<int>(format.nSamplesPerSec);
  info.channels = format.nChannels;
  info.format = SndFormatOf(kind, format.wBitsPerSample);
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &trial);
  if (file == nullptr) {
    return false;
  }
  const short silence[2] = {0, 0};
  const bool taken = sf_writef_short(file, silence, 1) == 1;
  sf_close(file);
  return taken;
}

// Why an encoder would not start or take the first block.
std::string EncoderRefusal(TFileKind kind, const TWaveFormat& format, const char* library) {
  return EncoderTakes(kind, format) ? std::string("Ошибка кодирования (") + library + ")"
                                    : RateProblem(kind, format.nSamplesPerSec);
}

[[noreturn]] void RaiseCheck(int32_t line, const std::string& text, const std::string& subject) {
  errno = 0;
  RaiseSystemError(line, text, subject);
}

} // namespace

// ---- Kinds of file output ---------------------------------------------------------------------

const std::vector<TFileKindInfo>& FileKinds() {
  return Kinds;
}

const TFileKindInfo& FileKindInfo(TFileKind kind) {
  return Kinds[static_cast<size_t>(kind)];
}

TFileKind FileKindOfName(const std::string& name, TFileKind otherwise) {
  const size_t dot = name.rfind('.');
  if (name == "-" || dot == std::string::npos || name.find('/', dot) != std::string::npos) {
    return otherwise;
  }
  const std::optional<TFileKind> kind = FileKindOfWord(Lower(name.substr(dot + 1)));
  return kind.value_or(otherwise);
}

std::optional<TFileKind> FileKindOfWord(const std::string& word) {
  for (const TFileKindInfo& k : Kinds) {
    if (word == k.Extension) {
      return k.Kind;
    }
  }
  return std::nullopt;
}

bool HoldsFileKind(const std::string& name, TFileKind kind) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  uint8_t head[12] = {};
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  ::close(fd);
  const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
  switch (kind) {
  case TFileKind::Wave:
    return At(head, n, 0, "RIFF") && At(head, n, 8, "WAVE");
  case TFileKind::Flac:
    return At(head, n, 0, "fLaC");
  case TFileKind::OggVorbis:
  case TFileKind::Opus:
    return At(head, n, 0, "OggS");
  }
  return false;
}

std::string FileOutputProblem(const std::string& name, TFileKind kind, const TWaveFormat& format) {
  if (kind == TFileKind::Wave) {
    return {};
  }
  const TFileKindInfo& info = FileKindInfo(kind);
  if (!info.Streams) {
    // The encoder completes the header at the start of the file when it ends.
    struct stat st {};
    bool rewritable = true;
    if (name == "-") {
      rewritable = ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) &&
                   ::lseek(STDOUT_FILENO, 0, SEEK_CUR) == 0 &&
                   (::fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND) == 0;
    } else if (::stat(name.c_str(), &st) == 0) {
      rewritable = S_ISREG(st.st_mode);
    }
    if (!rewritable) {
      return std::string(info.Name) +
             " нельзя записать в канал, на терминал или устройство: заголовок файла дописывается в его "
             "начало в конце записи";
    }
  }
  return EncoderTakes(kind, format) ? std::string() : RateProblem(kind, format.nSamplesPerSec);
}

std::vector<std::string> ReadableFilePatterns() {
  std::set<std::string> extensions = {"wav", "aif", "aifc", "snd", "ogg", "opus", "mp3", "mp2", "mp1"};
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    // A header-less file says nothing of its format: it cannot be read without being told.
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0 && info.extension != nullptr &&
        (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RAW) {
      extensions.insert(info.extension);
    }
  }
  std::vector<std::string> patterns;
  for (const std::string& e : extensions) {
    patterns.push_back("*." + e);
  }
  return patterns;
}

// ---- Reading ----------------------------------------------------------------------------------

struct TSoundFileReader::TStream : TReadStream {};

TSoundFileReader::TSoundFileReader(int fd, const std::string& subject)
    : stream(std::make_unique<TStream>()), subject(subject) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    RaiseSystemError(__LINE__, "ReadFile", subject);
  }
  stream->Fd = fd;
  stream->Size = static_cast<sf_count_t>(st.st_size);
  SF_VIRTUAL_IO io = ReadIo();
  SF_INFO info{};
  file = sf_open_virtual(&io, SFM_READ, &info, stream.get());
  if (stream->Error != 0) {
    if (file != nullptr) {
      sf_close(file);
    }
    errno = stream->Error;
    RaiseSystemError(__LINE__, "ReadFile", subject);
  }
  if (file == nullptr) {
    uint8_t head[64] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    RaiseCheck(__LINE__,
               RefusalOfUnreadable(head, got > 0 ? static_cast<size_t>(got) : 0, sf_strerror(nullptr)),
               subject);
  }
  formatText = DescribeSound(info);
  std::string refusal;
  if (info.channels < 1 || info.channels > 2) {
    refusal = "; читаются моно и стерео";
  } else if (info.samplerate < 1 || static_cast<uint32_t>(info.samplerate) > MaxFileSampleRate) {
    refusal = "; читаются частоты до " + RateText(MaxFileSampleRate);
  }
  if (!refusal.empty()) {
    sf_close(file);
    file = nullptr;
    RaiseCheck(__LINE__, std::string(UnsupportedFormat) + ": в файле " + formatText + refusal, subject);
  }
  channels = static_cast<uint16_t>(info.channels);
  sampleRate = static_cast<uint32_t>(info.samplerate);
  // Decoders that cannot tell the length say so with the largest count.
  frames = info.frames >= 0 && info.frames < SF_COUNT_MAX ? info.frames : -1;
  staged = FloatingSamples(info.format) ? TSampleEncoding::Float64 : TSampleEncoding::Signed32;
  converted = (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16;
  // Floating-point samples as they are (1.0 full scale, beyond it saturated when rounded).
  sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
}

TSoundFileReader::~TSoundFileReader() {
  if (file != nullptr) {
    sf_close(file);
  }
}

void TSoundFileReader::Reserve(int32_t capacityFrames) {
  staging.assign(static_cast<size_t>(std::max(capacityFrames, 0)) * channels *
                     static_cast<size_t>(SampleBytes(staged)),
                 0);
}

int32_t TSoundFileReader::Read(uint8_t* dst, int32_t count) {
  if (file == nullptr) {
    return 0;
  }
  const size_t most = staging.size() / (channels * static_cast<size_t>(SampleBytes(staged)));
  count = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::max(count, 0)), most));
  // The staging bytes come from operator new, aligned for any sample type.
  const sf_count_t got = staged == TSampleEncoding::Float64
                             ? sf_readf_double(file, reinterpret_cast<double*>(staging.data()), count)
                             : sf_readf_int(file, reinterpret_cast<int*>(staging.data()), count);
  if (stream->Error != 0) {
    errno = stream->Error;
    RaiseSystemError(__LINE__, "ReadFile", subject);
  }
  const auto frames = static_cast<int32_t>(std::max<sf_count_t>(got, 0));
  ConvertSamplesTo16(staged, staging.data(), static_cast<size_t>(frames) * channels, dst);
  return frames;
}

void TSoundFileReader::Rewind() {
  // A fresh decoder rather than a seek: a decoder that resynchronised on damaged data may not find the
  // same frames again after a seek, and the first pass is what the sound is.
  sf_close(file);
  file = nullptr;
  stream->Position = 0;
  SF_VIRTUAL_IO io = ReadIo();
  SF_INFO info{};
  file = sf_open_virtual(&io, SFM_READ, &info, stream.get());
  if (stream->Error != 0) {
    errno = stream->Error;
    RaiseSystemError(__LINE__, "ReadFile", subject);
  }
  if (file == nullptr || info.channels != channels || info.samplerate != static_cast<int>(sampleRate)) {
    RaiseCheck(__LINE__, std::string(InvalidFormat) + ": файл изменился во время чтения", subject);
  }
  sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
}

// ---- Writing ----------------------------------------------------------------------------------

struct TSoundFileWriter::TStream : TWriteStream {};

TSoundFileWriter::TSoundFileWriter(int fd, bool seekable, TFileKind kind, const TWaveFormat& format,
                                   int32_t capacityFrames, const std::string& subject)
    : stream(std::make_unique<TStream>()), format(format), subject(subject) {
  stream->Fd = fd;
  stream->Seekable = seekable;
  SF_VIRTUAL_IO io = WriteIo();
  SF_INFO info{};
  info.samplerate = static_cast<int>(format.nSamplesPerSec);
  info.channels = format.nChannels;
  info.format = SndFormatOf(kind, format.wBitsPerSample);
  file = sf_open_virtual(&io, SFM_WRITE, &info, stream.get());
  if (stream->Error != 0) {
    if (file != nullptr) {
      sf_close(file);
      file = nullptr;
    }
    errno = stream->Error;
    RaiseSystemError(__LINE__, "WriteFile", subject);
  }
  if (file == nullptr) {
    RaiseCheck(__LINE__, EncoderRefusal(kind, format, sf_strerror(nullptr)), subject);
  }
  this->kind = kind;
  staging.assign(static_cast<size_t>(std::max(capacityFrames, 0)) * format.nChannels, 0);
}

TSoundFileWriter::~TSoundFileWriter() {
  try {
    Finish();
  } catch (const TDSPException&) {
  }
}

void TSoundFileWriter::Write(const uint8_t* data, int32_t frames) {
  const size_t samples =
      std::min(static_cast<size_t>(std::max(frames, 0)) * format.nChannels, staging.size());
  if (format.wBitsPerSample == 8) {
    for (size_t i = 0; i < samples; ++i) {
      staging[i] = static_cast<int16_t>((data[i] - 128) * 256);
    }
  } else {
    for (size_t i = 0; i < samples; ++i) {
      staging[i] = static_cast<int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
  }
  const auto want = static_cast<sf_count_t>(samples / format.nChannels);
  const sf_count_t written = file == nullptr ? 0 : sf_writef_short(file, staging.data(), want);
  if (stream->Error != 0) {
    failed = true;
    errno = stream->Error;
    RaiseSystemError(__LINE__, "WriteFile", subject);
  }
  if (written != want) {
    failed = true;
    RaiseCheck(__LINE__, EncoderRefusal(kind, format, sf_strerror(file)), subject);
  }
}

void TSoundFileWriter::Finish() {
  if (file == nullptr) {
    return;
  }
  // The encoder writes its last frames or pages here, and FLAC its header at the start of the file.
  const int closed = sf_close(file);
  file = nullptr;
  if (failed) {
    return;
  }
  failed = stream->Error != 0 || closed != 0;
  if (stream->Error != 0) {
    errno = stream->Error;
    RaiseSystemError(__LINE__, "WriteFile", subject);
  }
  if (closed != 0) {
    RaiseCheck(__LINE__, std::string("Ошибка завершения файла (") + sf_error_number(closed) + ")", subject);
  }
}
