// SPDX-License-Identifier: GPL-3.0-or-later
#include "LiteralTransforms.h"
#include "support/FloatSignals.h"

#include "filters/Kernels.h"
#include "filters/LowPassFilter.h"
#include "filters/MultiBandFilter.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace sonotest;

namespace {

// FFT block convolution written out plainly for blocks of whole segments: fresh scratch arrays per
// block, one segment after another, all through the literal transforms.
class TReferenceConvolver {
public:
  TReferenceConvolver(const std::vector<float>& taps, int N) : N(N), hr(2 * N, 0.0f), hi(2 * N, 0.0f) {
    std::copy(taps.begin(), taps.end(), hr.begin());
    literal::Real(2 * N, hr.data(), hi.data());
    for (auto& tail : tails) {
      tail.assign(static_cast<size_t>(N), 0.0f);
    }
  }

  void Process(float* samples, int frames, int channel) {
    std::vector<float> re(2 * static_cast<size_t>(N));
    std::vector<float> im(2 * static_cast<size_t>(N));
    std::vector<float>& tail = tails[channel];
    for (int s = 0; s < frames / N; ++s) {
      float* x = samples + s * N;
      for (int k = 0; k < 2 * N; ++k) {
        re[k] = k < N ? x[k] : 0.0f;
      }
      literal::Real(2 * N, re.data(), im.data());
      for (int k = 0; k <= N; ++k) {
        const float a = re[k];
        const float b = im[k];
        re[k] = static_cast<float>(static_cast<double>(hr[k]) * a - static_cast<double>(hi[k]) * b);
        im[k] = static_cast<float>(static_cast<double>(hr[k]) * b + static_cast<double>(hi[k]) * a);
      }
      literal::Inverse(2 * N, re.data(), im.data());
      for (int k = 0; k < N; ++k) {
        x[k] = re[k] + tail[k];
        tail[k] = re[N + k];
      }
    }
  }

private:
  int N;
  std::vector<float> hr;
  std::vector<float> hi;
  std::vector<float> tails[2];
};

void CompareOverBlocks(TFilter& filter, TReferenceConvolver& reference, int blockFrames, unsigned seed) {
  for (int block = 0; block < 4; ++block) {
    for (int channel = 0; channel < 2; ++channel) {
      auto x = RandomSignal(static_cast<size_t>(blockFrames), 32768.0, seed + 10u * block + channel);
      auto expected = x;
      ChannelBlock b;
      b.Samples = x.data();
      b.Frames = blockFrames;
      filter.Process(b, channel);
      reference.Process(expected.data(), blockFrames, channel);
      ASSERT_EQ(x, expected) << "block " << block << " channel " << channel;
    }
  }
}

} // namespace

TEST(FIRFilter, OutputMatchesAPlainBlockConvolutionBitForBit) {
  for (const int rate : {8000, 22050, 44100, 48000}) {
    for (const bool highPass : {false, true}) {
      for (const int N : {8, 256, 1024}) {
        auto f = highPass ? std::make_unique<THighPassFilter>(rate) : std::make_unique<TLowPassFilter>(rate);
        {
          const std::lock_guard guard(f->Lock());
          f->fc = rate / 7;
          f->WindowType = N == 256 ? 1 : 0;
          *static_cast<int32_t*>(f->FindParameter("KernelSize")) = N;
          f->Apply();
        }
        std::vector<float> taps(static_cast<size_t>(N) + 1);
        (highPass ? HighPassKernel : LowPassKernel)(N, static_cast<float>(static_cast<double>(f->fc) / rate),
                                                    f->WindowType, taps.data());
        TReferenceConvolver reference(taps, N);
        CompareOverBlocks(*f, reference, 4096, static_cast<unsigned>(rate + N));
      }
    }
  }
}

TEST(FIRFilter, EqualiserOutputMatchesAPlainBlockConvolutionBitForBit) {
  for (const int rate : {8000, 44100}) {
    TMultiBandFilter f(rate);
    {
      const std::lock_guard guard(f.Lock());
      for (int i = 0; i < 20; ++i) {
        f.Gain[i] = 0.1 * (i % 7);
      }
      f.Apply();
    }
    // The kernel, summed band by band as the equaliser designs it.
    std::vector<float> taps(1025, 0.0f);
    std::vector<float> band(1025);
    int lo = 0;
    const int half = rate / 2;
    for (int i = 0; i < 20; ++i) {
      int hi = i < 19 ? (TMultiBandFilter::BandCentres[i] + TMultiBandFilter::BandCentres[i + 1]) / 2 : half;
      hi = std::min(hi, half);
      BandPassKernel(1024, static_cast<float>(static_cast<double>(lo) / rate),
                     static_cast<float>(static_cast<double>(hi) / rate), 1, band.data());
      for (int j = 0; j < 1024; ++j) {
        taps[j] = static_cast<float>(taps[j] + band[j] * f.Gain[i]);
      }
      if (hi == half) {
        break;
      }
      lo = hi;
    }
    taps[1024] = 0.0f;
    TReferenceConvolver reference(taps, 1024);
    CompareOverBlocks(f, reference, 4096, static_cast<unsigned>(rate));
  }
}
