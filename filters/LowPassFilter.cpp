#include "filters/LowPassFilter.h"

#include "filters/Kernels.h"

TLowPassFilter::TLowPassFilter(int32_t sampleRate) : TFIRFilter(sampleRate) {
  fc = 1000;
  WindowType = 0;
  N = 512;
  type = 0;
  ComputeResponse();
  AddParameter(&fc, sizeof fc, "fc");
  AddParameter(&WindowType, sizeof WindowType, "WindowType");
  AddParameter(&N, sizeof N, "KernelSize");
}

void TLowPassFilter::DesignKernel() {
  LowPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}

bool TLowPassFilter::ParametersValid() const {
  const bool sizeValid = N >= 8 && N <= 1024 && (N & (N - 1)) == 0;
  return sizeValid && fc >= 0 && fc <= SampleRate() / 2;
}

THighPassFilter::THighPassFilter(int32_t sampleRate) : TLowPassFilter(sampleRate) {
  type = 1;
  ComputeResponse();
}

void THighPassFilter::DesignKernel() {
  HighPassKernel(N, static_cast<float>(static_cast<double>(fc) / SampleRate()), WindowType, Kernel());
}
