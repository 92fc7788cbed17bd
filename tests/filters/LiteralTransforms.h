// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A second, straightforward transcription of the transforms' arithmetic (double expressions, float
// storage, twiddles from the running rotation, one swap at a time) that pins the optimised code in
// filters/Transforms.cpp bit for bit.

#include <cmath>

namespace sonotest::literal {

inline void Fft(int n, float* re, float* im) {
  int m = 0;
  for (int v = n; v > 1; v >>= 1) {
    ++m;
  }
  int j = n / 2;
  for (int i = 1; i <= n - 2; ++i) {
    if (i < j) {
      const float tr = re[j];
      const float ti = im[j];
      re[j] = re[i];
      im[j] = im[i];
      re[i] = tr;
      im[i] = ti;
    }
    int k = n / 2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
  for (int l = 1; l <= m; ++l) {
    const int le = 1 << l;
    const int le2 = le / 2;
    float ur = 1;
    float ui = 0;
    const float sr = static_cast<float>(std::cos(3.141592653589793 / le2));
    const float si = static_cast<float>(-std::sin(3.141592653589793 / le2));
    for (int jj = 1; jj <= le2; ++jj) {
      for (int i = jj - 1; i <= n - 1; i += le) {
        const int ip = i + le2;
        const double re_ip = re[ip];
        const double im_ip = im[ip];
        const float tr = static_cast<float>(re_ip * ur - im_ip * ui);
        const float ti = static_cast<float>(re_ip * ui + im_ip * ur);
        re[ip] = static_cast<float>(static_cast<double>(re[i]) - tr);
        im[ip] = static_cast<float>(static_cast<double>(im[i]) - ti);
        re[i] = static_cast<float>(static_cast<double>(re[i]) + tr);
        im[i] = static_cast<float>(static_cast<double>(im[i]) + ti);
      }
      const double oldUr = ur;
      ur = static_cast<float>(oldUr * sr - static_cast<double>(ui) * si);
      ui = static_cast<float>(oldUr * si + static_cast<double>(ui) * sr);
    }
  }
}

inline void Real(int n, float* re, float* im) {
  const int h = n / 2;
  for (int i = 0; i < h; ++i) {
    re[i] = re[2 * i];
    im[i] = re[2 * i + 1];
  }
  Fft(h, re, im);
  for (int i = 1; i <= n / 4 - 1; ++i) {
    const int a = h - i;
    const int b = h + i;
    const int c = h + a;
    re[b] = static_cast<float>((static_cast<double>(im[i]) + im[a]) * 0.5);
    re[c] = re[b];
    im[b] = static_cast<float>((static_cast<double>(re[i]) - re[a]) * -0.5);
    im[c] = -im[b];
    re[i] = static_cast<float>((static_cast<double>(re[i]) + re[a]) * 0.5);
    re[a] = re[i];
    im[i] = static_cast<float>((static_cast<double>(im[i]) - im[a]) * 0.5);
    im[a] = -im[i];
  }
  re[3 * n / 4] = im[n / 4];
  re[h] = im[0];
  im[3 * n / 4] = 0;
  im[h] = 0;
  im[n / 4] = 0;
  im[0] = 0;
  const int le = n;
  const int le2 = le / 2;
  float ur = 1;
  float ui = 0;
  const float sr = static_cast<float>(std::cos(3.141592653589793 / le2));
  const float si = static_cast<float>(-std::sin(3.141592653589793 / le2));
  for (int jj = 1; jj <= le2; ++jj) {
    for (int i = jj - 1; i < n; i += le) {
      const int ip = i + le2;
      const float tr =
          static_cast<float>(static_cast<double>(re[ip]) * ur - static_cast<double>(im[ip]) * ui);
      const float ti =
          static_cast<float>(static_cast<double>(re[ip]) * ui + static_cast<double>(im[ip]) * ur);
      re[ip] = re[i] - tr;
      im[ip] = im[i] - ti;
      re[i] = re[i] + tr;
      im[i] = im[i] + ti;
    }
    const double oldUr = ur;
    ur = static_cast<float>(oldUr * sr - static_cast<double>(ui) * si);
    ui = static_cast<float>(oldUr * si + static_cast<double>(ui) * sr);
  }
}

inline void Inverse(int n, float* re, float* im) {
  for (int k = n / 2 + 1; k <= n - 1; ++k) {
    re[k] = re[n - k];
    im[k] = -im[n - k];
  }
  for (int k = 0; k < n; ++k) {
    re[k] = re[k] + im[k];
  }
  Real(n, re, im);
  const float s = static_cast<float>(1.0 / n);
  for (int k = 0; k < n; ++k) {
    re[k] = static_cast<float>(s * (static_cast<double>(re[k]) + static_cast<double>(im[k])));
  }
}

} // namespace sonotest::literal
