// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render through FIR filters on files whose length is no multiple of any block or kernel:
// every frame of the output, the last ones too, is the input convolved with the filters' kernels
// (a direct convolution in double precision, truncated toward zero as the chain converts back).

#include "support/ChildProcess.h"
#include "support/FloatSignals.h"
#include "support/TestFiles.h"

#include "filters/FIRFilter.h"
#include "filters/FilterCatalogue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace sonotest;

namespace {

// The taps of a filter of the type with the parameters as --add sets them.
std::vector<float> TapsOf(int32_t type, int32_t rate,
                          const std::vector<std::pair<const char*, int32_t>>& ints,
                          const std::vector<double>& gains = {}) {
  const auto filter = CreateFilter(type, rate);
  const std::lock_guard guard(filter->Lock());
  for (const auto& [name, value] : ints) {
    *static_cast<int32_t*>(filter->FindParameter(name)) = value;
  }
  if (!gains.empty()) {
    std::copy(gains.begin(), gains.end(), static_cast<double*>(filter->FindParameter("Gain")));
  }
  filter->Apply();
  return dynamic_cast<const TFIRFilter&>(*filter).Taps();
}

} // namespace

TEST(RenderFiltered, FilesOfOddLengthsComeOutFilteredToTheirLastFrame) {
  const TTempDir dir("sonolab-filtered");
  struct TCase {
    uint32_t rate;
    uint16_t channels;
    size_t frames;
    std::vector<std::string> chain;
    std::vector<std::vector<float>> kernels;
  };
  std::vector<double> gains(20);
  std::string gainText;
  for (int i = 0; i < 20; ++i) {
    gains[static_cast<size_t>(i)] = 0.1 * (i % 11);
    gainText += (i > 0 ? "/" : "") + std::to_string(gains[static_cast<size_t>(i)]);
  }
  const std::vector<TCase> cases = {
      // The short last block of a 44100 Hz file: 10000 = 2 * 4096 + 1808.
      {44100, 1, 10000, {"--add", "0:fc=1000"}, {TapsOf(0, 44100, {{"fc", 1000}})}},
      {22050,
       2,
       12345,
       {"--add", "1:fc=3000,KernelSize=256", "--add", "4:Gain=" + gainText},
       {TapsOf(1, 22050, {{"fc", 3000}, {"KernelSize", 256}}), TapsOf(4, 22050, {}, gains)}},
      // 8000 Hz: blocks of 512 against the equaliser's 1024-tap kernel.
      {8000, 1, 3001, {"--add", "4:Gain=" + gainText}, {TapsOf(4, 8000, {}, gains)}},
  };
  for (const TCase& c : cases) {
    const std::vector<float> noise =
        RandomSignal(c.frames * c.channels, 9000.0, static_cast<unsigned>(c.frames));
    std::vector<int16_t> samples(noise.size());
    for (size_t i = 0; i < noise.size(); ++i) {
      samples[i] = static_cast<int16_t>(noise[i]);
    }
    WriteWave(dir.File("in.wav"), c.rate, c.channels, samples);
    std::vector<std::string> args = {SONOLAB_RENDER_PATH, dir.File("in.wav"), dir.File("out.wav"), "--force"};
    args.insert(args.end(), c.chain.begin(), c.chain.end());
    TChildOptions options;
    options.StdoutPath = dir.File("render.out");
    options.StderrPath = dir.File("render.err");
    TChild render(args, options);
    const TChildExit end = render.Wait(120s);
    ASSERT_TRUE(end.Exited && end.Status == 0) << ReadText(dir.File("render.err"));
    const TWaveContents out = ReadWave(dir.File("out.wav"));
    ASSERT_EQ(out.Frames(), c.frames);

    for (uint16_t channel = 0; channel < c.channels; ++channel) {
      std::vector<float> x(c.frames);
      for (size_t n = 0; n < c.frames; ++n) {
        x[n] = samples[n * c.channels + channel];
      }
      std::vector<double> y(x.begin(), x.end());
      for (const std::vector<float>& h : c.kernels) {
        y = Convolve(std::vector<float>(y.begin(), y.end()), h);
      }
      int worst = 0;
      size_t worstAt = 0;
      for (size_t n = 0; n < c.frames; ++n) {
        const double expected = std::trunc(std::clamp(y[n], -32768.0, 32767.0));
        const int d = static_cast<int>(std::abs(out.Samples[n * c.channels + channel] - expected));
        if (d > worst) {
          worst = d;
          worstAt = n;
        }
      }
      EXPECT_LE(worst, 1) << c.rate << " Hz, " << c.frames << " frames, channel " << channel << ": frame "
                          << worstAt;
    }
  }
}

TEST(RenderFiltered, EveryBlockSizeRendersTheDefaultBlocksSoundWithinOneStep) {
  // 2.5 s of stereo noise at 48000 Hz (default block 4096 frames); 120001 frames end every block size
  // with a short block.
  const TTempDir dir("sonolab-blocks");
  constexpr size_t Frames = 120001;
  const std::vector<float> noise = RandomSignal(2 * Frames, 9000.0, 7);
  std::vector<int16_t> samples(noise.size());
  for (size_t i = 0; i < noise.size(); ++i) {
    samples[i] = static_cast<int16_t>(noise[i]);
  }
  WriteWave(dir.File("in.wav"), 48000, 2, samples);
  const auto render = [&](const std::vector<std::string>& chain, const char* blockFrames) {
    std::vector<std::string> args = {
        SONOLAB_RENDER_PATH, dir.File("in.wav"), dir.File("out.wav"), "--force", "--quiet", "--tail", "1"};
    if (blockFrames != nullptr) {
      args.insert(args.end(), {"--block-frames", blockFrames});
    }
    args.insert(args.end(), chain.begin(), chain.end());
    TChildOptions options;
    options.StderrPath = dir.File("render.err");
    TChild child(args, options);
    const TChildExit end = child.Wait(120s);
    EXPECT_TRUE(end.Exited && end.Status == 0) << ReadText(dir.File("render.err"));
    return ReadWave(dir.File("out.wav"));
  };
  const std::vector<std::vector<std::string>> chains = {
      {"--add", "0", "--add", "1", "--add", "4", "--add", "9", "--add", "11"},
      {"--add", "2", "--add", "3", "--add", "5", "--add", "6"},
      {"--add", "7", "--add", "8", "--add", "10", "--add", "13"},
      {"--add", "14", "--add", "15"},
  };
  for (const std::vector<std::string>& chain : chains) {
    const TWaveContents reference = render(chain, nullptr);
    ASSERT_EQ(reference.Frames(), Frames + 48000);
    for (const char* blockFrames : {"64", "256", "2048"}) {
      const TWaveContents out = render(chain, blockFrames);
      ASSERT_EQ(out.Samples.size(), reference.Samples.size()) << chain[1] << ", " << blockFrames;
      int worst = 0;
      for (size_t i = 0; i < out.Samples.size(); ++i) {
        worst = std::max(worst, std::abs(out.Samples[i] - reference.Samples[i]));
      }
      EXPECT_LE(worst, 1) << "chain from type " << chain[1] << ", " << blockFrames << " frames";
    }
  }
}
