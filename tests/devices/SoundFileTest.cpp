// Sound files other than WAVE through the file devices: inputs made by sox, opusenc and libsndfile
// itself read as the WAVE they were made from (exactly where the kind is lossless), outputs come back
// as they went in (FLAC exactly, Ogg Vorbis and Opus within stated bounds), and every refusal names
// the file and what it holds.

#include "devices/SoundFile.h"
#include "devices/AudioFormats.h"
#include "devices/WaveFile.h"

#include "support/PcmSignals.h"
#include "support/SoundFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

using namespace sonotest;

namespace {

// What the file input gives, block by block, on the 16-bit scale.
struct TRead {
  TWaveFormat Format;
  std::vector<int32_t> Blocks; // frames of each block
  std::vector<int16_t> Samples;
  std::string Text;
  bool Converted = false;
  bool Decoded = false;
};

TRead ReadInput(const std::string& file) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  reader.Open();
  TRead r;
  r.Format = reader.Buffer().Format();
  r.Text = reader.FileFormatText();
  r.Converted = reader.Converted();
  r.Decoded = reader.Decoded();
  for (;;) {
    try {
      reader.Read();
    } catch (const TDSPException& e) {
      EXPECT_EQ(e.Informational, 1);
      EXPECT_EQ(e.Description, "Достигнут конец файла");
      break;
    }
    const TAudioBuffer& b = reader.Buffer();
    r.Blocks.push_back(b.Frames());
    for (int32_t n = 0; n < b.Frames(); ++n) {
      for (int c = 0; c < b.Format().nChannels; ++c) {
        r.Samples.push_back(static_cast<int16_t>(SampleAt(b.Format(), b.Data(), n, c)));
      }
    }
  }
  return r;
}

TDSPException InputRefused(const std::string& file) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  try {
    reader.Open();
  } catch (const TDSPException& e) {
    return e;
  }
  ADD_FAILURE() << file << " was opened";
  return {};
}

// Writes interleaved 16-bit samples through a file output of `format` (8 bits: the high byte).
void WriteOutput(const std::string& file, const TWaveFormat& format, const std::vector<int16_t>& samples) {
  TWAVEFilePlaybackDevice writer;
  writer.Buffer().Format() = format;
  writer.SetFileName(file);
  writer.Open();
  TAudioBuffer& b = writer.Buffer();
  const size_t frames = samples.size() / format.nChannels;
  for (size_t at = 0; at < frames; at += static_cast<size_t>(b.CapacityFrames())) {
    const auto n =
        static_cast<int32_t>(std::min<size_t>(frames - at, static_cast<size_t>(b.CapacityFrames())));
    b.SetLength(n);
    for (int32_t j = 0; j < n; ++j) {
      for (int c = 0; c < format.nChannels; ++c) {
        PutSample(format, b.Data(), j, c, samples[(at + static_cast<size_t>(j)) * format.nChannels + c]);
      }
    }
    writer.Write();
  }
}

// The samples as an 8-bit format keeps them.
std::vector<int16_t> Through8Bits(std::vector<int16_t> samples) {
  for (int16_t& s : samples) {
    s = static_cast<int16_t>(std::lround(s / 256.0) * 256);
  }
  return samples;
}

// A sine per channel (1 kHz left at 8000, 2.5 kHz right at 4000), for the lossy kinds.
std::vector<int16_t> TwoTones(uint32_t rate, uint16_t channels, size_t frames) {
  std::vector<int16_t> s(frames * channels);
  for (size_t n = 0; n < frames; ++n) {
    s[n * channels] = static_cast<int16_t>(std::lround(SineAt(8000, 1000, rate, static_cast<int64_t>(n))));
    if (channels == 2) {
      s[n * 2 + 1] = static_cast<int16_t>(std::lround(SineAt(4000, 2500, rate, static_cast<int64_t>(n))));
    }
  }
  return s;
}

// Lossy coding keeps each tone's level within 0.5 dB, adds at most -24 dB of anything else (against
// the tone) and keeps the channels apart (the other channel's tone below -40 dB), away from the first
// and last 0.1 s.
void ExpectTwoTones(const std::vector<int16_t>& samples, int channels, double rate, const std::string& what) {
  const struct { double Hz, Amplitude, OtherHz; } tones[2] = {{1000, 8000, 2500}, {2500, 4000, 1000}};
  for (int c = 0; c < channels; ++c) {
    const std::vector<double> x = ChannelOf(samples, channels, c);
    const auto from = static_cast<int64_t>(rate / 10);
    const auto to = static_cast<int64_t>(x.size()) - from;
    ASSERT_GT(to, from) << what;
    const SineFit fit = FitSine(x, from, to, tones[c].Hz, rate);
    EXPECT_NEAR(20 * std::log10(fit.Amplitude / tones[c].Amplitude), 0.0, 0.5) << what << " channel " << c;
    EXPECT_LT(fit.ResidualRms, tones[c].Amplitude / std::sqrt(2.0) * std::pow(10.0, -24.0 / 20)) << what << c;
    if (channels == 2) {
      EXPECT_LT(GoertzelAmplitude(x, from, to, tones[c].OtherHz, rate), tones[c].Amplitude / 100)
          << what << c;
    }
  }
}

} // namespace

// ---- Input ------------------------------------------------------------------------------------

TEST(SoundFileInput, LosslessFilesFromSoxAndLibsndfileReadExactlyAsTheWaveTheyWereMadeFrom) {
  const TTempDir dir("sonolab-sound-in");
  struct TCase {
    uint32_t Rate;
    uint16_t Channels, Bits;
    size_t Frames;
  };
  // A stereo file of an odd length, an 8-bit mono one at the lowest rate, and 24 bits at 96 kHz,
  // which both readers round to 16 bits the same way.
  for (const TCase& c :
       {TCase{44100, 2, 16, 3 * 4096 + 333}, TCase{8000, 1, 8, 512 * 5 + 2}, TCase{96000, 2, 24, 8192 + 7}}) {
    const std::string tag = std::to_string(c.Rate) + "-" + std::to_string(c.Bits);
    std::vector<uint8_t> bytes(c.Frames * c.Channels * c.Bits / 8);
    const std::vector<int16_t> noise = Noise16(bytes.size(), c.Rate);
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(noise[i] * 2); // any bytes will do: 8 bits take them as they are
    }
    WriteWave(dir.File("ref.wav"), c.Rate, c.Channels, c.Bits, bytes);
    const TRead wave = ReadInput(dir.File("ref.wav"));
    ASSERT_EQ(wave.Samples.size(), c.Frames * c.Channels);
    ASSERT_FALSE(wave.Decoded);
    const int sub = c.Bits == 8 ? SF_FORMAT_PCM_S8 : c.Bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
    const int wideSub = c.Bits == 8 ? SF_FORMAT_PCM_U8 : sub; // W64 and RF64 keep 8 bits unsigned
    const TDecoded raw = DecodeSoundFile(dir.File("ref.wav"));
    std::vector<std::string> files;
    for (const std::string ext : {"flac", "aiff", "au", "caf", "w64"}) {
      files.push_back("sox-" + tag + "." + ext);
      ASSERT_EQ(ShellIn(dir.Path(), "sox ref.wav " + files.back()), 0) << files.back();
    }
    for (const auto& [ext, format] :
         std::vector<std::pair<std::string, int>>{{"flac", SF_FORMAT_FLAC | sub},
                                                  {"aiff", SF_FORMAT_AIFF | sub},
                                                  {"au", SF_FORMAT_AU | sub},
                                                  {"caf", SF_FORMAT_CAF | sub},
                                                  {"w64", SF_FORMAT_W64 | wideSub},
                                                  {"rf64", SF_FORMAT_RF64 | wideSub}}) {
      // 24 bits go through 32-bit samples, so that both files hold the same 24-bit values.
      files.push_back("lib-" + tag + "." + ext);
      if (c.Bits == 24) {
        EncodeSoundFile(dir.File(files.back()), format, static_cast<int>(c.Rate), c.Channels, raw.Wide);
      } else {
        EncodeSoundFile(dir.File(files.back()), format, static_cast<int>(c.Rate), c.Channels, raw.Samples);
      }
    }
    for (const std::string& name : files) {
      const TRead r = ReadInput(dir.File(name));
      EXPECT_TRUE(r.Decoded) << name;
      EXPECT_EQ(r.Format, MakePCMFormat(c.Rate, c.Channels, 16)) << name;
      EXPECT_TRUE(r.Samples == wave.Samples) << name;
      EXPECT_EQ(r.Converted, c.Bits != 16) << name;
      // Whole blocks, then the rest.
      const int32_t block = BlockFrames(c.Rate);
      ASSERT_EQ(r.Blocks.size(), c.Frames / static_cast<size_t>(block) + 1) << name;
      EXPECT_EQ(r.Blocks.back(), static_cast<int32_t>(c.Frames % static_cast<size_t>(block))) << name;
    }
  }
  // What the note on a converted input says.
  ASSERT_EQ(ShellIn(dir.Path(), "sox -n -r 48000 -c 2 -b 24 t.flac synth 0.1 sine 440"), 0);
  EXPECT_EQ(ReadInput(dir.File("t.flac")).Text, "FLAC, 48,000 КГц, 24 бит, стерео");
}

TEST(SoundFileInput, LossyFilesFromSoxOpusencAndLibsndfileKeepTheLevelAndSpectrumOfTheirWave) {
  const TTempDir dir("sonolab-sound-lossy");
  const uint32_t rate = 48000;
  const size_t frames = 2 * rate + 123;
  const std::vector<int16_t> tones = TwoTones(rate, 2, frames);
  WriteWave(dir.File("ref.wav"), rate, 2, tones);
  ASSERT_EQ(ShellIn(dir.Path(), "sox ref.wav sox.ogg && sox ref.wav sox.mp3 && "
                                "opusenc --quiet ref.wav opusenc.opus"),
            0);
  EncodeSoundFile(dir.File("lib.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS, rate, 2, tones);
  EncodeSoundFile(dir.File("lib.opus"), SF_FORMAT_OGG | SF_FORMAT_OPUS, rate, 2, tones);
  EncodeSoundFile(dir.File("lib.mp3"), SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, rate, 2, tones);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"sox.ogg", "Ogg Vorbis"}, {"lib.ogg", "Ogg Vorbis"}, {"opusenc.opus", "Opus"},
      {"lib.opus", "Opus"},      {"sox.mp3", "MP3"},        {"lib.mp3", "MP3"}};
  for (const auto& [name, kind] : files) {
    const TRead r = ReadInput(dir.File(name));
    if (name == "lib.mp3") {
      // The library's MP3 encoder lets the channels leak into each other: its own decoder is the
      // reference (within the 1.5 steps its rounding of a full scale of 32767 may differ by).
      const TDecoded d = DecodeSoundFile(dir.File(name));
      ASSERT_EQ(d.Samples.size(), r.Samples.size());
      for (size_t i = 0; i < r.Samples.size(); ++i) {
        ASSERT_LE(std::abs(r.Samples[i] - d.Samples[i]), 2) << i;
      }
      continue;
    }
    EXPECT_EQ(r.Format, MakePCMFormat(rate, 2, 16)) << name;
    EXPECT_EQ(r.Text, kind + ", 48,000 КГц, стерео") << name;
    EXPECT_TRUE(r.Converted) << name;
    // An MP3 keeps its encoder's padding: at most two frames of 1152 more.
    const auto got = static_cast<int64_t>(r.Samples.size() / 2);
    EXPECT_GE(got, static_cast<int64_t>(frames)) << name;
    EXPECT_LE(got, static_cast<int64_t>(frames) + (kind == "MP3" ? 2 * 1152 + 1152 : 0)) << name;
    ExpectTwoTones(r.Samples, 2, rate, name);
  }
}

TEST(SoundFileInput, WhatItCannotTakeIsRefusedNamingTheFileAndSayingWhatItHolds) {
  const TTempDir dir("sonolab-sound-refused");
  const std::string readable =
      "; читаются WAVE, FLAC, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64, RF64 и другие звуковые форматы";
  ASSERT_EQ(ShellIn(dir.Path(), "sox -n -r 48000 -c 6 -b 16 six.flac synth 0.1 sine 440 && "
                                "sox -n -r 44100 -c 3 -b 24 three.aiff synth 0.1 sine 440 && "
                                "sox -n -r 44100 -c 1 good.flac synth 0.5 sine 440"),
            0);
  std::vector<uint8_t> flac = ReadBytes(dir.File("good.flac"));
  flac.resize(flac.size() / 3);
  std::fill(flac.begin() + 8, flac.begin() + 40, 0xEE); // the stream information broken
  WriteBytes(dir.File("broken.flac"), flac);
  WriteBytes(dir.File("empty.flac"), "", 0);
  WriteBytes(dir.File("short.wav"), "RIF", 3);
  WriteBytes(dir.File("rifx.wav"), WaveBytes(8000, 1, 8, std::vector<uint8_t>(100, 128)));
  WriteBytes(dir.File("rifx.wav"), [&] {
    std::vector<uint8_t> b = ReadBytes(dir.File("rifx.wav"));
    b[3] = 'X'; // big-endian RIFF, its fields still little-endian
    return b;
  }());
  WriteBytes(dir.File("notes.txt"), "not a sound\n", 12);
  const uint8_t m4a[] = {0,   0,   0, 0x20, 'f', 't', 'y', 'p', 'M', '4',
                         'A', ' ', 0, 0,    0,   0,   'M', '4', 'A', ' '};
  WriteBytes(dir.File("song.m4a"), m4a, sizeof m4a);
  std::vector<uint8_t> avi = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '};
  WriteBytes(dir.File("clip.avi"), avi);
  std::vector<uint8_t> binary(300);
  for (size_t i = 0; i < binary.size(); ++i) {
    binary[i] = static_cast<uint8_t>(i * 37 + 1);
  }
  WriteBytes(dir.File("data.bin"), binary);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"six.flac",
       "Неподдерживаемый формат файла: в файле FLAC, 48,000 КГц, 16 бит, 6 каналов; читаются моно и "
       "стерео"},
      {"three.aiff",
       "Неподдерживаемый формат файла: в файле AIFF, 44,100 КГц, 24 бит, 3 канала; читаются моно и "
       "стерео"},
      {"empty.flac", "Неверный формат файла: файл пуст"},
      {"notes.txt", "Неверный формат файла: в файле текст, а не звук"},
      {"short.wav", "Неверный формат файла: в файле текст, а не звук"},
      {"data.bin", "Неверный формат файла: в файле нет звука известного формата"},
      {"song.m4a", "Неподдерживаемый формат файла: в файле MP4 (M4A, AAC, ALAC)" + readable},
      {"clip.avi", "Неподдерживаемый формат файла: в файле видео AVI" + readable},
  };
  for (const auto& [name, text] : cases) {
    const TDSPException e = InputRefused(dir.File(name));
    EXPECT_EQ(e.Description, "Файл \"" + dir.File(name) + "\": " + text) << name;
    EXPECT_EQ(e.ResultCode, 0u) << name;
    EXPECT_EQ(e.Operation, "") << name;
    EXPECT_EQ(e.Informational, 0) << name;
  }
  // A damaged file of a kind the library reads says so, with the library's words.
  for (const auto& [name, what] : std::vector<std::pair<std::string, std::string>>{
           {"broken.flac", "FLAC"}, {"rifx.wav", "WAVE с обратным порядком байтов"}}) {
    const TDSPException broken = InputRefused(dir.File(name));
    EXPECT_EQ(broken.Description.rfind("Файл \"" + dir.File(name) + "\": Неверный формат файла: в файле " +
                                           what + ", который не читается (",
                                       0),
              0u)
        << broken.Description;
  }
  // A pipe holds WAVE only: what comes through it is read as it comes, without seeking.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::vector<uint8_t> head(flac.begin(), flac.begin() + 200);
  ASSERT_EQ(write(fds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
  close(fds[1]);
  const std::string piped = "/dev/fd/" + std::to_string(fds[0]);
  EXPECT_EQ(InputRefused(piped).Description,
            "Файл \"" + piped + "\": Неверный формат файла: из канала читается только звук WAVE");
  close(fds[0]);
}

TEST(SoundFileInput, ARegularFileStartsOverAtItsFirstFrameAndAPipeCannot) {
  const TTempDir dir("sonolab-sound-rewind");
  const std::vector<int16_t> samples = Noise16(2 * 10000, 7);
  WriteWave(dir.File("in.wav"), 22050, 2, samples);
  EncodeSoundFile(dir.File("in.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 2, samples);
  for (const std::string name : {"in.wav", "in.flac"}) {
    TWAVEFileRecordingDevice reader;
    reader.SetFileName(dir.File(name));
    EXPECT_FALSE(reader.CanRewind());
    reader.Open();
    ASSERT_TRUE(reader.CanRewind()) << name;
    // Twice through the file, the second time after its end notice.
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<int16_t> got;
      try {
        for (;;) {
          reader.Read();
          const TAudioBuffer& b = reader.Buffer();
          got.insert(got.end(), reinterpret_cast<const int16_t*>(b.Data()),
                     reinterpret_cast<const int16_t*>(b.Data()) + b.Frames() * 2);
        }
      } catch (const TDSPException& e) {
        EXPECT_EQ(e.Informational, 1);
      }
      EXPECT_TRUE(got == samples) << name << " pass " << pass;
      reader.Rewind();
    }
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::vector<uint8_t> wave = WaveBytes(8000, 1, 8, std::vector<uint8_t>(100, 128));
  ASSERT_EQ(write(fds[1], wave.data(), wave.size()), static_cast<ssize_t>(wave.size()));
  close(fds[1]);
  TWAVEFileRecordingDevice piped;
  piped.SetFileName("/dev/fd/" + std::to_string(fds[0]));
  piped.Open();
  EXPECT_FALSE(piped.CanRewind());
  piped.Close();
  close(fds[0]);
}

// ---- Output -----------------------------------------------------------------------------------

TEST(SoundFileOutput, FlacHoldsExactlyWhatWentInAtEveryTableFormat) {
  const TTempDir dir("sonolab-sound-flac");
  for (int index = 0; index < FormatCount; ++index) {
    const TWaveFormat& format = FormatTable[static_cast<size_t>(index)];
    const size_t frames = static_cast<size_t>(BlockFrames(format.nSamplesPerSec)) * 2 + 101;
    std::vector<int16_t> samples = Noise16(frames * format.nChannels, static_cast<unsigned>(index));
    if (format.wBitsPerSample == 8) {
      samples = Through8Bits(samples);
    }
    const std::string file = dir.File("out" + std::to_string(index) + ".FLAC"); // any letter case
    WriteOutput(file, format, samples);
    const TDecoded d = DecodeSoundFile(file);
    EXPECT_EQ(d.Format, SF_FORMAT_FLAC | (format.wBitsPerSample == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16))
        << index;
    EXPECT_EQ(d.Rate, static_cast<int>(format.nSamplesPerSec));
    EXPECT_EQ(d.Channels, format.nChannels);
    EXPECT_TRUE(d.Samples == samples) << index;
  }
  // sox, another decoder, finds the same samples.
  ASSERT_EQ(ShellIn(dir.Path(), "sox out31.FLAC -t wav out31.wav"), 0);
  EXPECT_EQ(ReadWave(dir.File("out31.wav")).Samples, DecodeSoundFile(dir.File("out31.FLAC")).Samples);
}

TEST(SoundFileOutput, OggVorbisAndOpusKeepTheLevelAndSpectrumAndTheLength) {
  const TTempDir dir("sonolab-sound-lossy-out");
  for (const auto& [ext, rate] : std::vector<std::pair<std::string, uint32_t>>{
           {"ogg", 44100}, {"ogg", 22050}, {"ogg", 8000}, {"opus", 48000}, {"opus", 16000}}) {
    for (const uint16_t bits : {uint16_t{16}, uint16_t{8}}) {
      const TWaveFormat format = MakePCMFormat(rate, 2, bits);
      const size_t frames = static_cast<size_t>(rate) + 77;
      const std::string file =
          dir.File("out-" + std::to_string(rate) + "-" + std::to_string(bits) + "." + ext);
      WriteOutput(file, format, TwoTones(rate, 2, frames));
      const TDecoded d = DecodeSoundFile(file);
      EXPECT_EQ(d.Format, SF_FORMAT_OGG | (ext == "ogg" ? SF_FORMAT_VORBIS : SF_FORMAT_OPUS)) << file;
      EXPECT_EQ(d.Rate, static_cast<int>(rate));
      EXPECT_EQ(d.Frames(), frames) << file;
      ExpectTwoTones(d.Samples, 2, rate, file);
    }
  }
}

TEST(SoundFileOutput, AKindThatCannotTakeTheFormatOrTheFileIsRefusedBeforeTheFileIsTouched) {
  // The name's ending chooses the kind; any other ending takes the default.
  EXPECT_EQ(FileKindOfName("a.flac"), TFileKind::Flac);
  EXPECT_EQ(FileKindOfName("A.Ogg"), TFileKind::OggVorbis);
  EXPECT_EQ(FileKindOfName("x/a.opus"), TFileKind::Opus);
  EXPECT_EQ(FileKindOfName("x.flac/a"), TFileKind::Wave);
  EXPECT_EQ(FileKindOfName("a.oga", TFileKind::Opus), TFileKind::Opus);
  EXPECT_EQ(FileKindOfName("a.wav", TFileKind::Flac), TFileKind::Wave);
  EXPECT_EQ(FileKindOfName("-", TFileKind::OggVorbis), TFileKind::OggVorbis);
  // Every table rate goes into FLAC and Ogg Vorbis; Opus takes five of them.
  for (const TWaveFormat& format : FormatTable) {
    EXPECT_EQ(FileOutputProblem("x.flac", TFileKind::Flac, format), "");
    EXPECT_EQ(FileOutputProblem("x.ogg", TFileKind::OggVorbis, format), "");
    const uint32_t r = format.nSamplesPerSec;
    const bool opus = r == 8000 || r == 12000 || r == 16000 || r == 24000 || r == 48000;
    EXPECT_EQ(FileOutputProblem("x.opus", TFileKind::Opus, format).empty(), opus) << r;
  }
  EXPECT_EQ(FileOutputProblem("x.flac", TFileKind::Flac, MakePCMFormat(700000, 1, 16)),
            "формат FLAC не принимает частоту 700,000 КГц");

  const TTempDir dir("sonolab-sound-refused-out");
  const std::string file = dir.File("kept.opus");
  WriteBytes(file, "old", 3);
  TWAVEFilePlaybackDevice writer;
  writer.Buffer().Format() = FormatTable[31];
  writer.SetFileName(file);
  try {
    writer.Open();
    ADD_FAILURE() << "opened";
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.Description,
              "Файл \"" + file +
                  "\": формат Opus не принимает частоту 44,100 КГц (допустимы 8, 12, 16, 24 и 48 КГц)");
    EXPECT_EQ(e.ResultCode, 0u);
  }
  EXPECT_EQ(ReadText(file), "old");

  // A pipe takes Ogg Vorbis and Opus as they come; FLAC completes its header at the start, so it is
  // refused there.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(
      FileOutputProblem(dir.File("fifo"), TFileKind::Flac, FormatTable[31]),
      "FLAC нельзя записать в канал, на терминал или устройство: заголовок файла дописывается в его начало в "
      "конце записи");
  EXPECT_EQ(FileOutputProblem(dir.File("fifo"), TFileKind::OggVorbis, FormatTable[31]), "");
  EXPECT_EQ(FileOutputProblem(dir.File("fifo"), TFileKind::Opus, FormatTable[35]), "");
}

TEST(SoundFileOutput, AFullDiskEndsTheFileWithWhatWasEncodedWholeAndItStillDecodes) {
  const TTempDir dir("sonolab-sound-full");
  const TWaveFormat format = FormatTable[31];
  const std::vector<int16_t> samples = Noise16(2 * 44100 * 4, 3);
  for (const std::string ext : {"flac", "ogg"}) {
    const std::string file = dir.File("full." + ext);
    // In a child: a file-size limit stops the writes part way.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlim_t bytes = ext == "flac" ? 150000 : 30000;
      const rlimit limit{bytes, bytes};
      setrlimit(RLIMIT_FSIZE, &limit);
      int code = 10;
      try {
        WriteOutput(file, format, samples);
      } catch (const TDSPException& e) {
        code = e.Operation == "WriteFile" && e.ResultCode == static_cast<uint32_t>(EFBIG) &&
                       e.Description == "Файл \"" + file + "\": File too large"
                   ? 0
                   : 11;
      }
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << ext;
    EXPECT_LE(FileSize(file), ext == "flac" ? 150000u : 30000u);
    // What is there decodes: for FLAC, exactly the first frames of what went in.
    const TDecoded d = DecodeSoundFile(file);
    EXPECT_EQ(d.Channels, 2) << ext;
    EXPECT_GT(d.Frames(), 4096u) << ext;
    EXPECT_LT(d.Frames(), samples.size() / 2) << ext;
    if (ext == "flac") {
      EXPECT_TRUE(std::equal(d.Samples.begin(), d.Samples.end(), samples.begin()));
    }
  }
}
