// SPDX-License-Identifier: GPL-3.0-or-later
// Sound files other than WAVE through the file devices: inputs made by sox, opusenc and libsndfile
// read as the WAVE they were made from (exactly where the kind is lossless), outputs come back as they
// went in (FLAC exactly, Ogg Vorbis and Opus within stated bounds), refusals name the file and what it
// holds.

#include "devices/SoundFile.h"
#include "devices/AudioFormats.h"
#include "devices/WaveFile.h"

#include "support/SoundFiles.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sonotest;

namespace {

// What the file input gives, on the 16-bit scale, and the frames of each block.
struct TRead {
  TWaveFormat Format;
  std::vector<int32_t> Blocks;
  std::vector<int16_t> Samples;
  std::string Text;
  bool Converted = false, Decoded = false;
};

TRead ReadInput(TWAVEFileRecordingDevice& reader) {
  TRead r{reader.Buffer().Format(), {}, {}, reader.FileFormatText(), reader.Converted(), reader.Decoded()};
  try {
    for (;;) {
      reader.Read();
      const TAudioBuffer& b = reader.Buffer();
      r.Blocks.push_back(b.Frames());
      for (int32_t i = 0; i < b.Frames() * b.Format().nChannels; ++i) {
        r.Samples.push_back(static_cast<int16_t>(SampleAt(b.Format(), b.Data(), 0, i)));
      }
    }
  } catch (const TDSPException& e) {
    EXPECT_EQ(e.Description, "Достигнут конец файла");
  }
  return r;
}

TRead ReadInput(const std::string& file) {
  TWAVEFileRecordingDevice reader;
  reader.SetFileName(file);
  reader.Open();
  return ReadInput(reader);
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

// Interleaved 16-bit samples through a file output of `format` in whole blocks and a short one.
void WriteOutput(const std::string& file, const TWaveFormat& format, const std::vector<int16_t>& samples) {
  TWAVEFilePlaybackDevice writer;
  writer.Buffer().Format() = format;
  writer.SetFileName(file);
  writer.Open();
  TAudioBuffer& b = writer.Buffer();
  const int channels = format.nChannels;
  for (size_t at = 0; at < samples.size(); at += static_cast<size_t>(b.CapacityFrames() * channels)) {
    b.SetLength(static_cast<int32_t>(
        std::min<size_t>((samples.size() - at) / channels, static_cast<size_t>(b.CapacityFrames()))));
    for (int32_t i = 0; i < b.Frames() * channels; ++i) {
      PutSample(format, b.Data(), 0, i, samples[at + static_cast<size_t>(i)]);
    }
    writer.Write();
  }
}

// 1 kHz at 8000 on the left, 2.5 kHz at 4000 on the right.
std::vector<int16_t> TwoTones(uint32_t rate, size_t frames) {
  std::vector<int16_t> s(frames * 2);
  for (size_t n = 0; n < frames; ++n) {
    s[2 * n] = static_cast<int16_t>(std::lround(SineAt(8000, 1000, rate, static_cast<int64_t>(n))));
    s[2 * n + 1] = static_cast<int16_t>(std::lround(SineAt(4000, 2500, rate, static_cast<int64_t>(n))));
  }
  return s;
}

// Lossy coding keeps each tone within 0.5 dB, adds at most -24 dB of anything else, and keeps the
// other channel's tone below -40 dB.
void ExpectTwoTones(const std::vector<int16_t>& s, double rate, const std::string& what) {
  double residual = 0;
  EXPECT_NEAR(ToneDb(s, 2, 0, 1000, 8000, rate, &residual), 0.0, 0.5) << what;
  EXPECT_LT(residual, -24) << what;
  EXPECT_NEAR(ToneDb(s, 2, 1, 2500, 4000, rate, &residual), 0.0, 0.5) << what;
  EXPECT_LT(residual, -24) << what;
  EXPECT_LT(ToneDb(s, 2, 0, 2500, 8000, rate), -40) << what;
  EXPECT_LT(ToneDb(s, 2, 1, 1000, 4000, rate), -40) << what;
}

} // namespace

TEST(SoundFileInput, LosslessFilesFromSoxAndLibsndfileReadExactlyAsTheWaveTheyWereMadeFrom) {
  const TTempDir dir("sonolab-sound-in");
  // Stereo of an odd length; 8-bit mono at the lowest rate (even: the library pads an odd 8-bit AIFF
  // with a frame); 24 bits at 96 kHz, which both readers round to 16 bits the same way.
  for (const auto& [rate, channels, bits, frames] : std::vector<std::tuple<uint32_t, int, int, int>>{
           {44100, 2, 16, 3 * 4096 + 333}, {8000, 1, 8, 512 * 5 + 2}, {96000, 2, 24, 8192 + 7}}) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames * channels * bits / 8));
    const std::vector<int16_t> noise = Noise16(bytes.size(), rate);
    std::transform(noise.begin(), noise.end(), bytes.begin(),
                   [](int16_t v) { return static_cast<uint8_t>(v * 2); });
    WriteWave(dir.File("ref.wav"), rate, static_cast<uint16_t>(channels), static_cast<uint16_t>(bits), bytes);
    const TRead wave = ReadInput(dir.File("ref.wav"));
    ASSERT_EQ(wave.Samples.size(), static_cast<size_t>(frames * channels));
    const TDecoded raw = DecodeSoundFile(dir.File("ref.wav"));
    const int sub = bits == 8 ? SF_FORMAT_PCM_S8 : bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
    const int wide = bits == 8 ? SF_FORMAT_PCM_U8 : sub; // W64 and RF64 keep 8 bits unsigned
    std::vector<std::string> files;
    for (const auto& [ext, format] :
         std::vector<std::pair<std::string, int>>{{"flac", SF_FORMAT_FLAC | sub},
                                                  {"aiff", SF_FORMAT_AIFF | sub},
                                                  {"au", SF_FORMAT_AU | sub},
                                                  {"caf", SF_FORMAT_CAF | sub},
                                                  {"w64", SF_FORMAT_W64 | wide},
                                                  {"rf64", SF_FORMAT_RF64 | wide}}) {
      files.push_back("lib." + ext);
      if (bits == 24) {
        EncodeSoundFile(dir.File(files.back()), format, static_cast<int>(rate), channels, raw.Wide);
      } else {
        EncodeSoundFile(dir.File(files.back()), format, static_cast<int>(rate), channels, raw.Samples);
      }
      if (ext != "rf64") {
        files.push_back("sox." + ext);
        ASSERT_EQ(ShellIn(dir.Path(), "sox ref.wav " + files.back()), 0);
      }
    }
    for (const std::string& name : files) {
      const TRead r = ReadInput(dir.File(name));
      EXPECT_TRUE(r.Decoded && r.Converted == (bits != 16)) << name;
      EXPECT_EQ(r.Format, MakePCMFormat(rate, static_cast<uint16_t>(channels), 16)) << name;
      EXPECT_TRUE(r.Samples == wave.Samples) << name << " " << bits;
      // Whole blocks, then the rest.
      const int32_t block = BlockFrames(rate);
      ASSERT_EQ(r.Blocks.size(), static_cast<size_t>(frames / block + 1)) << name;
      EXPECT_EQ(r.Blocks.back(), frames % block) << name;
    }
  }
  EXPECT_EQ(ReadInput(dir.File("lib.flac")).Text, "FLAC, 96,000 КГц, 24 бит, стерео");
}

TEST(SoundFileInput, LossyFilesFromSoxOpusencAndLibsndfileKeepTheLevelAndSpectrumOfTheirWave) {
  const TTempDir dir("sonolab-sound-lossy");
  const uint32_t rate = 48000;
  const size_t frames = 2 * rate + 123;
  const std::vector<int16_t> tones = TwoTones(rate, frames);
  WriteWave(dir.File("ref.wav"), rate, 2, tones);
  ASSERT_EQ(
      ShellIn(dir.Path(), "sox ref.wav sox.ogg && sox ref.wav sox.mp3 && opusenc --quiet ref.wav enc.opus"),
      0);
  EncodeSoundFile(dir.File("lib.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS, rate, 2, tones);
  EncodeSoundFile(dir.File("lib.opus"), SF_FORMAT_OGG | SF_FORMAT_OPUS, rate, 2, tones);
  EncodeSoundFile(dir.File("lib.mp3"), SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, rate, 2, tones);
  for (const auto& [name, kind] : std::vector<std::pair<std::string, std::string>>{{"sox.ogg", "Ogg Vorbis"},
                                                                                   {"lib.ogg", "Ogg Vorbis"},
                                                                                   {"enc.opus", "Opus"},
                                                                                   {"lib.opus", "Opus"},
                                                                                   {"sox.mp3", "MP3"},
                                                                                   {"lib.mp3", "MP3"}}) {
    const TRead r = ReadInput(dir.File(name));
    EXPECT_EQ(r.Format, MakePCMFormat(rate, 2, 16)) << name;
    EXPECT_EQ(r.Text, kind + ", 48,000 КГц, стерео") << name;
    // An MP3 keeps its encoder's padding: at most three frames of 1152 more.
    EXPECT_GE(r.Samples.size() / 2, frames) << name;
    EXPECT_LE(r.Samples.size() / 2, frames + (kind == "MP3" ? 3 * 1152 : 0)) << name;
    if (name != "lib.mp3") {
      ExpectTwoTones(r.Samples, rate, name);
      continue;
    }
    // The library's own MP3 encoder lets the channels leak into each other: its own decoder is the
    // reference, within the steps its rounding (full scale 32767 instead of 32768) may differ by.
    const TDecoded d = DecodeSoundFile(dir.File(name));
    ASSERT_EQ(d.Samples.size(), r.Samples.size());
    for (size_t i = 0; i < r.Samples.size(); ++i) {
      ASSERT_LE(std::abs(r.Samples[i] - d.Samples[i]), 2) << i;
    }
  }
}

TEST(SoundFileInput, WhatItCannotTakeIsRefusedNamingTheFileAndSayingWhatItHolds) {
  const TTempDir dir("sonolab-sound-refused");
  ASSERT_EQ(ShellIn(dir.Path(), "sox -n -r 48000 -c 6 -b 16 six.flac synth 0.1 sine 440 && "
                                "sox -n -r 44100 -c 1 good.flac synth 0.5 sine 440"),
            0);
  std::vector<uint8_t> broken = ReadBytes(dir.File("good.flac"));
  std::fill(broken.begin() + 8, broken.begin() + 40, 0xEE); // the stream information
  WriteBytes(dir.File("broken.flac"), broken);
  WriteBytes(dir.File("empty.flac"), "", 0);
  WriteBytes(dir.File("notes.txt"), "not a sound\n", 12);
  WriteBytes(dir.File("song.m4a"),
             "\0\0\0\x20"
             "ftypM4A \0\0\0\0",
             16);
  WriteBytes(dir.File("clip.avi"), "RIFF\4\0\0\0AVI ", 12);
  WriteBytes(dir.File("data.bin"), "\x01\x02\x03\xF0", 4);
  const std::string read =
      "; читаются WAVE, FLAC, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64, RF64 и другие звуковые форматы";
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"six.flac",
            "Неподдерживаемый формат файла: в файле FLAC, 48,000 КГц, 16 бит, 6 каналов; читаются моно "
            "и стерео"},
           {"empty.flac", "Неверный формат файла: файл пуст"},
           {"notes.txt", "Неверный формат файла: в файле текст, а не звук"},
           {"data.bin", "Неверный формат файла: в файле нет звука известного формата"},
           {"song.m4a", "Неподдерживаемый формат файла: в файле MP4 (M4A, AAC, ALAC)" + read},
           {"clip.avi", "Неподдерживаемый формат файла: в файле видео AVI" + read},
           // A damaged file of a kind the library reads: the library's own words follow.
           {"broken.flac", "Неверный формат файла: в файле FLAC, который не читается ("}}) {
    const TDSPException e = InputRefused(dir.File(name));
    const std::string description = "Файл \"" + dir.File(name) + "\": " + text;
    EXPECT_EQ(e.Description.substr(0, name == "broken.flac" ? description.size() : std::string::npos),
              description);
    EXPECT_EQ(e.ResultCode, 0u) << name;
    EXPECT_EQ(e.Operation, "") << name;
  }
  // A pipe holds WAVE only: it is read as it comes, without seeking.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], broken.data(), 200), 200);
  close(fds[1]);
  const std::string piped = "/dev/fd/" + std::to_string(fds[0]);
  EXPECT_EQ(InputRefused(piped).Description,
            "Файл \"" + piped + "\": Неверный формат файла: из канала читается только звук WAVE");
  close(fds[0]);
}

TEST(SoundFileInput, AFileStartsOverAtItsFirstFrameAfterItsEnd) {
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
    EXPECT_TRUE(ReadInput(reader).Samples == samples) << name;
    reader.Rewind();
    EXPECT_TRUE(ReadInput(reader).Samples == samples) << name;
  }
}

TEST(SoundFileOutput, FlacHoldsExactlyWhatWentInAtEveryTableFormat) {
  const TTempDir dir("sonolab-sound-flac");
  for (int index = 0; index < FormatCount; ++index) {
    const TWaveFormat& format = FormatTable[static_cast<size_t>(index)];
    std::vector<int16_t> samples =
        Noise16((2 * BlockFrames(format.nSamplesPerSec) + 101) * format.nChannels, index);
    for (int16_t& s : samples) {
      s = static_cast<int16_t>(format.wBitsPerSample == 8 ? s & 0xFF00 : s); // what 8 bits keep
    }
    const std::string file = dir.File(std::to_string(index) + ".FLAC"); // any letter case
    WriteOutput(file, format, samples);
    const TDecoded d = DecodeSoundFile(file);
    EXPECT_EQ(d.Format, SF_FORMAT_FLAC | (format.wBitsPerSample == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16));
    EXPECT_EQ(d.Rate, static_cast<int>(format.nSamplesPerSec));
    EXPECT_EQ(d.Channels, format.nChannels);
    EXPECT_TRUE(d.Samples == samples) << index;
  }
  // sox, another decoder, finds the same samples.
  ASSERT_EQ(ShellIn(dir.Path(), "sox 31.FLAC -t wav 31.wav"), 0);
  EXPECT_EQ(ReadWave(dir.File("31.wav")).Samples, DecodeSoundFile(dir.File("31.FLAC")).Samples);
}

TEST(SoundFileOutput, OggVorbisAndOpusKeepTheLevelTheSpectrumAndTheLength) {
  const TTempDir dir("sonolab-sound-lossy-out");
  for (const auto& [ext, rate] : std::vector<std::pair<std::string, uint32_t>>{
           {"ogg", 44100}, {"ogg", 22050}, {"ogg", 8000}, {"opus", 48000}, {"opus", 16000}}) {
    for (const uint16_t bits : {16, 8}) {
      const std::string file = dir.File(std::to_string(rate) + "-" + std::to_string(bits) + "." + ext);
      WriteOutput(file, MakePCMFormat(rate, 2, bits), TwoTones(rate, rate + 77));
      const TDecoded d = DecodeSoundFile(file);
      EXPECT_EQ(d.Format, SF_FORMAT_OGG | (ext == "ogg" ? SF_FORMAT_VORBIS : SF_FORMAT_OPUS)) << file;
      EXPECT_EQ(d.Rate, static_cast<int>(rate));
      EXPECT_EQ(d.Frames(), rate + 77) << file;
      ExpectTwoTones(d.Samples, rate, file);
    }
  }
}

TEST(SoundFileOutput, AKindThatCannotTakeTheFormatOrTheFileIsRefusedBeforeTheFileIsTouched) {
  EXPECT_EQ(FileKindOfName("A.Ogg"), TFileKind::OggVorbis);
  EXPECT_EQ(FileKindOfName("x/a.opus"), TFileKind::Opus);
  EXPECT_EQ(FileKindOfName("x.flac/a"), TFileKind::Wave);
  EXPECT_EQ(FileKindOfName("a.oga", TFileKind::Opus), TFileKind::Opus);
  EXPECT_EQ(FileKindOfName("a.wav", TFileKind::Flac), TFileKind::Wave);
  EXPECT_EQ(FileKindOfName("-", TFileKind::Flac), TFileKind::Flac);
  // Every table rate goes into FLAC and Ogg Vorbis; Opus takes five of them.
  for (const TWaveFormat& f : FormatTable) {
    EXPECT_EQ(FileOutputProblem("x.flac", TFileKind::Flac, f) +
                  FileOutputProblem("x.ogg", TFileKind::OggVorbis, f),
              "");
    const uint32_t r = f.nSamplesPerSec;
    EXPECT_EQ(FileOutputProblem("x.opus", TFileKind::Opus, f).empty(),
              r == 8000 || r == 12000 || r == 16000 || r == 24000 || r == 48000)
        << r;
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
  }
  EXPECT_EQ(ReadText(file), "old");
  // A pipe takes Ogg Vorbis and Opus as they come; FLAC completes its header at the start.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(
      FileOutputProblem(dir.File("fifo"), TFileKind::Flac, FormatTable[31]),
      "FLAC нельзя записать в канал, на терминал или устройство: заголовок файла дописывается в его начало в "
      "конце записи");
  EXPECT_EQ(FileOutputProblem(dir.File("fifo"), TFileKind::OggVorbis, FormatTable[31]), "");
}

TEST(SoundFileOutput, AFullDiskEndsTheFileWithWhatWasEncodedWholeAndItStillDecodes) {
  const TTempDir dir("sonolab-sound-full");
  const std::vector<int16_t> samples = Noise16(2 * 44100 * 4, 3);
  for (const auto& [ext, limit] :
       std::vector<std::pair<std::string, rlim_t>>{{"flac", 150000}, {"ogg", 30000}}) {
    const std::string file = dir.File("full." + ext);
    const pid_t child = fork(); // a file-size limit stops the writes part way
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit bytes{limit, limit};
      setrlimit(RLIMIT_FSIZE, &bytes);
      try {
        WriteOutput(file, FormatTable[31], samples);
      } catch (const TDSPException& e) {
        _exit(e.Operation == "WriteFile" && e.ResultCode == static_cast<uint32_t>(EFBIG) &&
                      e.Description == "Файл \"" + file + "\": File too large"
                  ? 0
                  : 11);
      }
      _exit(10);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ext << " " << status;
    // What is there decodes: for FLAC, exactly the first frames of what went in.
    const TDecoded d = DecodeSoundFile(file);
    EXPECT_EQ(d.Channels, 2) << ext;
    EXPECT_GT(d.Frames(), 4096u) << ext;
    EXPECT_LT(d.Frames(), samples.size() / 2) << ext;
    EXPECT_TRUE(ext != "flac" || std::equal(d.Samples.begin(), d.Samples.end(), samples.begin()));
  }
}
