// One thread edits the chain the way the user interface does while another runs ProcessBlock in a loop.
// Run under ThreadSanitizer by the test script.

#include "ProbeFilter.h"

#include "dsp/FilterCatalogue.h"
#include "dsp/FilterList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

TEST(ChainConcurrency, EditsWhileTheWorkerProcessesNeverCorruptABlock) {
  TFilterList chain(44100);
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};

  std::thread worker([&] {
    std::vector<int16_t> block(2 * 512);
    const TWaveFormat format = MakePCMFormat(44100, 2, 16);
    uint32_t n = 0;
    while (!stop.load()) {
      for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int16_t>(8000.0 * std::sin(0.05 * static_cast<double>(n++)));
      }
      chain.ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), 512, format);
      blocks.fetch_add(1);
    }
  });

  std::mt19937 random(7);
  const int types[] = {0, 1, 4, 9, 11};
  for (int step = 0; step < 400; ++step) {
    const int action = static_cast<int>(random() % 6);
    const int count = chain.Count();
    if (action == 0 && count < 6) {
      auto filter = CreateFilter(types[random() % 5], 44100);
      if (filter) {
        chain.Add(std::move(filter));
      } else {
        chain.Add(std::make_unique<TProbeFilter>(44100));
      }
    } else if (action == 1 && count > 0) {
      chain.Delete(static_cast<int>(random() % count));
    } else if (action == 2 && count > 1) {
      chain.Swap(0, count - 1);
    } else if (action == 3 && count > 0) {
      const int i = static_cast<int>(random() % count);
      chain.SetEnabled(i, !chain.IsEnabled(i));
    } else if (count > 0) {
      // A parameter write and its Apply form one step with respect to Process.
      TFilter* filter = chain.Item(static_cast<int>(random() % count));
      std::lock_guard guard(filter->Lock());
      if (auto* kernel = static_cast<int32_t*>(filter->FindParameter("KernelSize"))) {
        *kernel = 8 << (random() % 8);
      } else if (auto* delay = static_cast<int32_t*>(filter->FindParameter("Delay"))) {
        *delay = 1 + static_cast<int32_t>(random() % 300);
      } else if (auto* lines = static_cast<int32_t*>(filter->FindParameter("DelayLines"))) {
        *lines = 1 + static_cast<int32_t>(random() % 32);
      } else if (filter->Type() == 4) {
        static_cast<double*>(filter->FindParameter("Gain"))[random() % 20] = 0.5;
      }
      filter->Apply();
    }
    if (step % 50 == 0) {
      const int seen = blocks.load();
      while (blocks.load() < seen + 2) {
        std::this_thread::yield();
      }
    }
  }
  stop.store(true);
  worker.join();
  EXPECT_GT(blocks.load(), 8);
}
