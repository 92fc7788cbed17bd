// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sound files of every kind for tests, made and read by libsndfile directly (not through Sonolab's
// devices), and by the command-line tools: interleaved 16-bit samples in and out, plus the level of
// one frequency in a channel.
//
// Threads: free functions on their arguments only.

#include "support/PcmSignals.h"

#include <sndfile.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonotest {

struct TDecoded {
  int Rate = 0;
  int Channels = 0;
  int Format = 0; // the library's major format and subtype
  std::vector<int16_t> Samples;
  std::vector<int32_t> Wide; // the same samples left-justified in 32 bits (24 bits kept whole)
  size_t Frames() const { return Channels == 0 ? 0 : Samples.size() / static_cast<size_t>(Channels); }
};

// The whole file as the library decodes it to 16 bits; Channels 0 when it cannot.
inline TDecoded DecodeSoundFile(const std::string& file) {
  SF_INFO info{};
  TDecoded d;
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    return d;
  }
  // Decoded samples beyond full scale saturate instead of wrapping round.
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  d.Rate = info.samplerate;
  d.Channels = info.channels;
  d.Format = info.format;
  std::vector<int16_t> block(4096 * static_cast<size_t>(info.channels));
  sf_count_t n = 0;
  while ((n = sf_readf_short(f, block.data(), 4096)) > 0) {
    d.Samples.insert(d.Samples.end(), block.begin(), block.begin() + n * info.channels);
  }
  sf_seek(f, 0, SEEK_SET);
  std::vector<int32_t> wide(4096 * static_cast<size_t>(info.channels));
  while ((n = sf_readf_int(f, wide.data(), 4096)) > 0) {
    d.Wide.insert(d.Wide.end(), wide.begin(), wide.begin() + n * info.channels);
  }
  sf_close(f);
  return d;
}

// Writes interleaved 16-bit samples (or left-justified 32-bit ones) in the library's `format`
// (major | subtype).
template <class Sample>
void EncodeSoundFile(const std::string& file, int format, int rate, int channels,
                     const std::vector<Sample>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
  if (f == nullptr) {
    throw std::runtime_error("cannot write " + file + ": " + sf_strerror(nullptr));
  }
  const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
  sf_count_t written = 0;
  if constexpr (sizeof(Sample) == 2) {
    written = sf_writef_short(f, samples.data(), frames);
  } else {
    written = sf_writef_int(f, samples.data(), frames);
  }
  if (written != frames) {
    sf_close(f);
    throw std::runtime_error("cannot write " + file + ": " + sf_strerror(f));
  }
  sf_close(f);
}

// One channel of interleaved samples, as doubles.
inline std::vector<double> ChannelOf(const std::vector<int16_t>& samples, int channels, int channel) {
  std::vector<double> x;
  for (size_t i = static_cast<size_t>(channel); i < samples.size(); i += static_cast<size_t>(channels)) {
    x.push_back(samples[i]);
  }
  return x;
}

// The level of a tone of `hz` in one channel against `amplitude`, in dB, fitted away from the first and
// last tenth of a second (where codecs fade in and out).
inline double ToneDb(const std::vector<int16_t>& samples, int channels, int channel, double hz,
                     double amplitude, double rate, double* residualDb = nullptr) {
  const std::vector<double> x = ChannelOf(samples, channels, channel);
  const auto from = static_cast<int64_t>(rate / 10);
  const auto to = std::max(from + 1, static_cast<int64_t>(x.size()) - from);
  const SineFit fit = FitSine(x, from, to, hz, rate);
  if (residualDb != nullptr) {
    *residualDb = 20 * std::log10(fit.ResidualRms * std::sqrt(2.0) / amplitude);
  }
  return 20 * std::log10(fit.Amplitude / amplitude);
}

// Interleaved pseudo-random 16-bit samples at a quarter of full scale, the same for the same seed.
inline std::vector<int16_t> Noise16(size_t samples, unsigned seed) {
  std::vector<int16_t> s(samples);
  uint32_t x = seed * 2654435761u + 1;
  for (int16_t& v : s) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<int16_t>((static_cast<int32_t>(x >> 16) - 32768) / 4);
  }
  return s;
}

// A shell line in a folder; its exit status.
inline int ShellIn(const std::string& folder, const std::string& line) {
  const int status = std::system(("cd '" + folder + "' && " + line).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace sonotest
