// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/Kernels.h"

#include "filters/Transforms.h"

#include <cmath>
#include <vector>

double HammingWindow(int M, int i) {
  return 0.54 - 0.46 * std::cos(2.0 * Pi * i / M);
}

double BlackmanWindow(int M, int i) {
  return 0.42 - 0.5 * std::cos(2.0 * Pi * i / M) + 0.08 * std::cos(4.0 * Pi * i / M);
}

void LowPassKernel(int M, float f, int window, float* h) {
  const float w = static_cast<float>(2.0 * Pi * f);
  const int half = M >> 1;
  float sum = 0.0f;
  for (int i = 0; i <= M; ++i) {
    if (i == half) {
      h[i] = w;
    } else {
      const int t = i - half;
      h[i] = static_cast<float>(std::sin(t * static_cast<double>(w)) / t);
    }
    const double weight = window == 0 ? HammingWindow(M, i) : BlackmanWindow(M, i);
    h[i] = static_cast<float>(h[i] * weight);
    sum = sum + h[i];
  }
  // Unity gain at 0 Hz; a cut-off of 0 leaves an all-zero kernel as it is.
  if (sum != 0.0f) {
    for (int i = 0; i <= M; ++i) {
      h[i] = h[i] / sum;
    }
  }
}

void HighPassKernel(int M, float f, int window, float* h) {
  // Spectral inversion: a unit impulse at the centre tap minus the low-pass kernel.
  LowPassKernel(M, f, window, h);
  for (int i = 0; i <= M; ++i) {
    h[i] = -h[i];
  }
  h[M / 2] = h[M / 2] + 1.0f;
}

void BandPassKernel(int M, float f1, float f2, int window, float* h) {
  const float upper = f1 > f2 ? f1 : f2;
  const float lower = f1 > f2 ? f2 : f1;
  LowPassKernel(M, upper, window, h);
  std::vector<float> low(static_cast<size_t>(M) + 1);
  LowPassKernel(M, lower, window, low.data());
  for (int i = 0; i <= M; ++i) {
    h[i] = h[i] - low[i];
  }
}

void BandStopKernel(int M, float f1, float f2, int window, float* h) {
  // Spectral inversion of the band-pass kernel: what passes the band is taken from a unit impulse.
  BandPassKernel(M, f1, f2, window, h);
  for (int i = 0; i <= M; ++i) {
    h[i] = -h[i];
  }
  h[M / 2] = h[M / 2] + 1.0f;
}
