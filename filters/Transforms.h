// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's FFTs and the level conversions shared by filters, dialogs and displays. In-place
// radix-2 FFTs on 32-bit float arrays, whose twiddles come from a rotation recurrence, one cosine and
// one sine per stage, every value rounded to float; and one in double precision with exact twiddles,
// for what must hold bins far below its largest. Nothing here allocates.

#include <complex>

inline constexpr double Pi = 3.141592653589793;
// What AmplitudeToDb gives for 0: the most negative float, as a double.
inline constexpr double MinusInfinityDb = -3.4028234663852886e+38;

// Forward DFT of n (a power of two) complex values, unscaled, natural order out.
void ComplexFFT(int n, float* re, float* im);
// Full n-point spectrum (n >= 4, a power of two) of the real signal in re; im is scratch on entry.
void RealFFT(int n, float* re, float* im);
// The real signal (scaled by 1/n) whose spectrum's bins 0..n/2 are in re and im; im is overwritten.
void InverseRealFFT(int n, float* re, float* im);
// In-place DFT of n (a power of two) complex values in double precision, unscaled, natural order:
// X[k] = sum_t x[t] e^(-j 2 pi k t / n), or e^(+j 2 pi k t / n) when inverse. Each twiddle is
// std::polar(1, -+2 pi k / L) of its stage's length L.
void PreciseFFT(int n, std::complex<double>* x, bool inverse);

double DbToAmplitude(double db);
double AmplitudeToDb(double amplitude);
// Rounds to an integer value, halves upward (2.5 -> 3, -2.5 -> -2).
double RoundHalfUp(double x);
