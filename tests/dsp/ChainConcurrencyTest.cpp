// SPDX-License-Identifier: GPL-3.0-or-later
// One thread edits the chain the way the user interface does while another runs ProcessBlock in a loop.
// Run under ThreadSanitizer by the test script.

#include "ProbeFilter.h"

#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "support/FilterEdits.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using sonotest::TProbeFilter;

namespace {

// Every so often the editing thread waits for two more blocks, so that edits and blocks interleave.
void LetTheWorkerRun(const std::atomic<int>& blocks) {
  const int seen = blocks.load();
  while (blocks.load() < seen + 2) {
    std::this_thread::yield();
  }
}

} // namespace

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
      LetTheWorkerRun(blocks);
    }
  }
  stop.store(true);
  worker.join();
  EXPECT_GT(blocks.load(), 8);
}

namespace {

// A parameter write and its Apply, as a dialog does them.
template <typename T> void WriteAndApply(TFilter& filter, const char* name, size_t index, T value) {
  const std::lock_guard guard(filter.Lock());
  static_cast<T*>(filter.FindParameter(name))[index] = value;
  filter.Apply();
}

// Restarts every filter of the chain from silence with its current parameters.
void Restart(TFilterList& chain) {
  for (int i = 0; i < chain.Count(); ++i) {
    chain.Item(i)->Apply();
    chain.Item(i)->ClearState();
  }
}

} // namespace

TEST(ChainConcurrency, ParameterEditsAndSwitchesDuringStereoBlocksLeaveAConsistentChain) {
  TFilterList chain(44100);
  for (const int32_t type : {0, 1, 4, 9, 11}) {
    chain.Add(CreateFilter(type, 44100));
  }
  const TWaveFormat format = MakePCMFormat(44100, 2, 16);
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};

  // Both channels of every block run at once while the user-interface thread edits.
  std::thread worker([&] {
    std::mt19937 noise(3);
    std::vector<int16_t> block(2 * 4096);
    while (!stop.load()) {
      for (auto& s : block) {
        s = static_cast<int16_t>(static_cast<int>(noise() % 20001) - 10000);
      }
      chain.ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), 4096, format);
      blocks.fetch_add(1);
    }
  });

  std::mt19937 random(17);
  for (int step = 0; step < 300; ++step) {
    const int slot = static_cast<int>(random() % 5);
    TFilter& filter = *chain.Item(slot);
    switch (random() % 4) {
    case 0:
      chain.SetEnabled(slot, !chain.IsEnabled(slot));
      break;
    case 1:
      if (slot <= 1) {
        WriteAndApply<int32_t>(filter, "KernelSize", 0, 8 << (random() % 8));
      } else if (slot == 2) {
        WriteAndApply<double>(filter, "Gain", random() % 20, 0.1 * static_cast<double>(random() % 30));
      } else if (slot == 3) {
        WriteAndApply<int32_t>(filter, "Delay", 0, 1 + static_cast<int32_t>(random() % 1000));
      } else {
        WriteAndApply<int32_t>(filter, "DelayLines", 0, 1 + static_cast<int32_t>(random() % 32));
      }
      break;
    case 2:
      if (slot <= 1) {
        WriteAndApply<int32_t>(filter, "fc", 0, 100 + static_cast<int32_t>(random() % 20000));
      } else if (slot == 3) {
        WriteAndApply<int32_t>(filter, "DecayTime", 0, 10 + static_cast<int32_t>(random() % 9990));
      } else if (slot == 4) {
        WriteAndApply<int32_t>(filter, "ReverbTime", 0, 10 + static_cast<int32_t>(random() % 9990));
      }
      break;
    default:
      filter.ClearState();
      break;
    }
    if (step % 50 == 0) {
      LetTheWorkerRun(blocks);
    }
  }
  stop.store(true);
  worker.join();
  EXPECT_GE(blocks.load(), 12);

  // The edited chain and a copy loaded from its record, both restarted from silence, must give the
  // same bytes; with the same sound on both channels, the two channels must agree too.
  TMemoryWriter record;
  chain.Save(record);
  TFilterList copy(44100);
  TMemoryReader reader(record.Bytes().data(), record.Bytes().size());
  copy.Load(reader, CreateFilter);
  Restart(chain);
  Restart(copy);
  std::vector<int16_t> a(2 * 4096);
  for (size_t j = 0; j < 4096; ++j) {
    a[2 * j] = a[2 * j + 1] = static_cast<int16_t>(12000.0 * std::sin(0.031 * static_cast<double>(j)));
  }
  auto b = a;
  chain.ProcessBlock(reinterpret_cast<uint8_t*>(a.data()), 4096, format);
  copy.ProcessBlock(reinterpret_cast<uint8_t*>(b.data()), 4096, format);
  EXPECT_EQ(a, b);
  for (size_t j = 0; j < 4096; ++j) {
    ASSERT_EQ(a[2 * j], a[2 * j + 1]) << "frame " << j;
  }
}

// A dialog holds its filter's lock from the write through the design: the worker does not wait for
// that lock, for any type, on mono or stereo blocks, nor for a filter that joins the channels.
TEST(ChainConcurrency, BlocksGoThroughWhileEveryFilterLockIsHeld) {
  TFilterList types(44100);
  for (int32_t type = 0; type < 16; ++type) {
    types.Add(CreateFilter(type, 44100));
  }
  TFilterList joined(44100);
  for (const bool joins : {false, true, false}) {
    auto probe = std::make_unique<sonotest::TProbeFilter>(44100);
    probe->Joins = joins;
    joined.Add(std::move(probe));
  }
  for (TFilterList* chain : {&types, &joined}) {
    for (const uint16_t channels : {1, 2}) {
      std::vector<int16_t> block(256 * channels, 1000);
      std::vector<std::unique_lock<std::recursive_mutex>> held;
      for (int i = 0; i < chain->Count(); ++i) {
        held.emplace_back(chain->Item(i)->Lock());
      }
      const sonotest::TWatchdog watchdog(std::chrono::seconds(60),
                                         "blocks while every filter's lock is held");
      std::thread worker([&] {
        for (int b = 0; b < 4; ++b) {
          chain->ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), 256,
                              MakePCMFormat(44100, channels, 16));
        }
      });
      worker.join();
    }
  }
}

// Every type edited (its designs, tables, lines and glides handed over) while stereo blocks run: under
// ThreadSanitizer nothing races, and the chain ends as a copy loaded from its record, sample for sample.
TEST(ChainConcurrency, EditsOfEveryTypeDuringStereoBlocksLeaveTheChainItsRecordDescribes) {
  TFilterList chain(44100);
  for (int32_t type = 0; type < 16; ++type) {
    chain.Add(CreateFilter(type, 44100));
  }
  const TWaveFormat format = MakePCMFormat(44100, 2, 16);
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  std::thread worker([&] {
    std::mt19937 noise(5);
    std::vector<int16_t> block(2 * 256);
    while (!stop.load()) {
      for (auto& s : block) {
        s = static_cast<int16_t>(static_cast<int>(noise() % 16001) - 8000);
      }
      chain.ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), 256, format);
      blocks.fetch_add(1);
    }
  });
  std::mt19937 random(23);
  for (int step = 0; step < 600; ++step) {
    const int slot = static_cast<int>(random() % 16);
    if (step % 37 == 0) {
      chain.SetEnabled(slot, !chain.IsEnabled(slot));
    } else {
      sonotest::EditAtRandom(*chain.Item(slot), random);
    }
    if (step % 40 == 0) {
      LetTheWorkerRun(blocks);
    }
  }
  stop.store(true);
  worker.join();

  TMemoryWriter record;
  chain.Save(record);
  TFilterList copy(44100);
  TMemoryReader reader(record.Bytes().data(), record.Bytes().size());
  copy.Load(reader, CreateFilter);
  Restart(chain);
  Restart(copy);
  std::vector<int16_t> a(2 * 2048);
  for (size_t j = 0; j < 2048; ++j) {
    a[2 * j] = static_cast<int16_t>(9000.0 * std::sin(0.021 * static_cast<double>(j)));
    a[2 * j + 1] = static_cast<int16_t>(-a[2 * j] / 2);
  }
  auto b = a;
  chain.ProcessBlock(reinterpret_cast<uint8_t*>(a.data()), 2048, format);
  copy.ProcessBlock(reinterpret_cast<uint8_t*>(b.data()), 2048, format);
  EXPECT_EQ(a, b);
}
