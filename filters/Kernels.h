// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Windowed-sinc kernel design. M is the kernel size (M + 1 taps, h[0..M]); f is a cut-off as a
// fraction of the sample rate (0 to 0.5); window 0 selects Hamming, anything else Blackman.

double HammingWindow(int M, int i);
double BlackmanWindow(int M, int i);
void LowPassKernel(int M, float f, int window, float* h);
void HighPassKernel(int M, float f, int window, float* h);
void BandPassKernel(int M, float f1, float f2, int window, float* h);
void BandStopKernel(int M, float f1, float f2, int window, float* h);
