// SPDX-License-Identifier: GPL-3.0-or-later
// LV2 plug-ins of Debian's swh-lv2 and mda-lv2 as filters of the chain: their parameters as the ports
// describe them, their record, the channels on their ports, the plug-ins that are missing or refused,
// and edits while another thread runs the chain (run under ThreadSanitizer by the test script).

#include "support/Plugins.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/lv2/PluginSlot.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

using namespace sonotest;

namespace {

constexpr int32_t Rate = 44100;

void Set(TFilter& filter, const char* name, double value) {
  const std::lock_guard guard(filter.Lock());
  for (int i = 0; i < filter.ParameterCount(); ++i) {
    if (std::strcmp(filter.Parameter(i).Name, name) == 0) {
      SetValueAt(*filter.Parameter(i).Description, filter.Parameter(i).Storage, value);
    }
  }
  filter.Apply();
}

std::vector<int16_t> Noise(size_t samples, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(-12000, 12000);
  std::vector<int16_t> noise(samples);
  for (int16_t& v : noise) {
    v = static_cast<int16_t>(value(random));
  }
  return noise;
}

// Blocks of stereo noise through the chain, the processed samples one after another.
std::vector<int16_t> Render(TFilterList& chain, int blocks, int32_t frames) {
  std::vector<int16_t> all;
  for (int b = 0; b < blocks; ++b) {
    std::vector<int16_t> block = Noise(2 * static_cast<size_t>(frames), 100 + static_cast<unsigned>(b));
    chain.ProcessBlock(reinterpret_cast<uint8_t*>(block.data()), frames, MakePCMFormat(Rate, 2, 16));
    all.insert(all.end(), block.begin(), block.end());
  }
  return all;
}

std::string Refusal(const std::function<void()>& action) {
  try {
    action();
  } catch (const TFilterError& e) {
    return e.what();
  }
  return "(nothing refused)";
}

} // namespace

TEST(PluginSlot, ParametersAreThePortsWithTheirRangesDefaultsUnitsAndKinds) {
  const auto host = TestPlugins();
  const auto lowpass = CreatePluginSlot(host, "http://plugin.org.uk/swh-plugins/lowpass_iir", Rate);
  ASSERT_EQ(lowpass->ParameterCount(), 2);
  const TParameterDescription& cutoff = *lowpass->Parameter(0).Description; // rate-relative, logarithmic
  EXPECT_STREQ(cutoff.Name, "cutoff");
  EXPECT_EQ(cutoff.Storage, TStorage::Double);
  EXPECT_DOUBLE_EQ(cutoff.Minimum, 0.0001 * Rate);
  EXPECT_DOUBLE_EQ(cutoff.Maximum, 0.45 * Rate);
  EXPECT_DOUBLE_EQ(cutoff.Default, 0.337525 * Rate);
  EXPECT_EQ(cutoff.Bar, TTrackScale::Logarithmic);
  const TParameterDescription& stages = *lowpass->Parameter(1).Description; // integer
  EXPECT_EQ(stages.Storage, TStorage::Int32);
  EXPECT_EQ(RangeText(stages, Rate), "от 1 до 10");
  EXPECT_STREQ(stages.Caption, "Stages(2 poles per stage):");

  // A chain of another rate makes the slot anew for it: the rate-relative range moves with the rate.
  TFilterList chain(48000);
  chain.Add(CreatePluginSlot(host, "http://plugin.org.uk/swh-plugins/lowpass_iir", Rate));
  EXPECT_DOUBLE_EQ(chain.Item(0)->Parameter(0).Description->Maximum, 0.45 * 48000);
  EXPECT_DOUBLE_EQ(ValueAt(*chain.Item(0)->Parameter(0).Description, chain.Item(0)->Parameter(0).Storage),
                   0.337525 * Rate);

  const auto limiter = CreatePluginSlot(host, LimiterUri, Rate);
  const TParameterDescription& knee = *limiter->Parameter(4).Description; // enumeration
  EXPECT_EQ(RangeText(knee, Rate), "0 (Hard) или 1 (Soft)");
  EXPECT_EQ(limiter->Descriptor()->Caption, std::string("Параметры модуля «MDA Limiter»"));
  EXPECT_STREQ(limiter->Descriptor()->Source, LimiterUri);
  const auto flanger = CreatePluginSlot(host, "http://plugin.org.uk/swh-plugins/djFlanger", Rate);
  EXPECT_EQ(RangeText(*flanger->Parameter(0).Description, Rate), "0 (выключено) или 1 (включено)"); // toggled
  const auto psycho = CreatePluginSlot(host, "http://drobilla.net/plugins/mda/RePsycho", Rate);
  EXPECT_STREQ(psycho->Parameter(1).Description->Caption, "Fine (центов):");
  EXPECT_STREQ(psycho->Parameter(1).Description->RangeMessage,
               "Значение «Fine» должно быть в пределах от %1 до %2 центов.");
}

TEST(PluginSlot, ChainsWithPluginsKeepTheirRecordAndLoadBackToTheSameSound) {
  const auto host = TestPlugins();
  TFilterList chain(Rate);
  chain.Add(CreatePluginSlot(host, AmpUri, Rate));
  Set(*chain.Item(0), "gain", -6.0);
  chain.Add(CreateFilter(9, Rate));
  chain.Add(CreatePluginSlot(host, LimiterUri, Rate));
  Set(*chain.Item(2), "thresh", 0.1);
  Set(*chain.Item(2), "knee", 1.0);
  chain.SetEnabled(1, false);
  TMemoryWriter saved;
  chain.Save(saved);
  // Count, then the amplifier: its type twice, the URI, one control by symbol with its double.
  std::vector<uint8_t> amp = {3, 0, 0, 0, 100, 0, 0, 0, 100, 0, 0, 0, 36, 0, 0, 0};
  amp.insert(amp.end(), AmpUri, AmpUri + 36);
  amp.insert(amp.end(), {1, 0, 0, 0, 4, 0, 0, 0, 'g', 'a', 'i', 'n', 0, 0, 0, 0, 0, 0, 0x18, 0xC0});
  ASSERT_GT(saved.Bytes().size(), amp.size());
  EXPECT_TRUE(std::equal(amp.begin(), amp.end(), saved.Bytes().begin()));
  EXPECT_EQ(std::vector<uint8_t>(saved.Bytes().end() - 16, saved.Bytes().end()),
            (std::vector<uint8_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  const TTempDir dir("sonolab-plugins");
  SaveChainFile(chain, dir.File("c.lst"));
  TFilterList loaded(Rate);
  LoadChainFile(loaded, dir.File("c.lst"), PluginAwareFactory(host));
  TMemoryWriter again;
  loaded.Save(again);
  EXPECT_EQ(again.Bytes(), saved.Bytes());

  // The same blocks (of more frames than a plug-in run) give the same sound, and a sound the chain did
  // change.
  const std::vector<int16_t> first = Render(chain, 3, 5000);
  EXPECT_EQ(Render(loaded, 3, 5000), first);
  std::vector<int16_t> input;
  for (int b = 0; b < 3; ++b) {
    const std::vector<int16_t> block = Noise(10000, 100 + static_cast<unsigned>(b));
    input.insert(input.end(), block.begin(), block.end());
  }
  EXPECT_NE(first, input);
}

TEST(PluginSlot, MissingAndRefusedPluginsAreNamedAndTheChainStaysAsItWas) {
  const auto host = TestPlugins();
  TFilterList chain(Rate);
  chain.Add(CreateFilter(9, Rate));
  chain.Add(CreatePluginSlot(host, AmpUri, Rate));
  const TFilter* before[] = {chain.Item(0), chain.Item(1)};
  const TTempDir dir("sonolab-plugins");
  for (const std::string uri : {AbsentUri, NeedsWorkerUri}) {
    // A chain of an echo and the plug-in.
    std::vector<uint8_t> file = {2, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 100, 0, 0, 0, 0xE8, 3, 0, 0};
    for (const int32_t field : {100, 100, static_cast<int32_t>(uri.size())}) {
      file.insert(file.end(), reinterpret_cast<const uint8_t*>(&field),
                  reinterpret_cast<const uint8_t*>(&field) + 4);
    }
    file.insert(file.end(), uri.begin(), uri.end());
    file.insert(file.end(), {0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    uint16_t sum = 0;
    for (const uint8_t b : file) {
      sum = static_cast<uint16_t>(sum + b);
    }
    file.push_back(static_cast<uint8_t>(sum));
    file.push_back(static_cast<uint8_t>(sum >> 8));
    WriteBytes(dir.File("c.lst"), file);
    const std::string expected =
        uri == AbsentUri
            ? "Модуль LV2 не установлен: urn:sonolab:test:absent"
            : "Модуль LV2 «Gain that needs a worker» (urn:sonolab:test:needs-worker) не подходит: "
              "требует возможность, которой Sonolab не даёт: http://lv2plug.in/ns/ext/worker#schedule "
              "(фоновые задачи модуля, worker)";
    EXPECT_EQ(Refusal([&] { LoadChainFile(chain, dir.File("c.lst"), PluginAwareFactory(host)); }), expected);
    ASSERT_EQ(chain.Count(), 2);
    EXPECT_EQ(chain.Item(0), before[0]);
    EXPECT_EQ(chain.Item(1), before[1]);
    EXPECT_EQ(Refusal([&] { CreatePluginSlot(host, uri, Rate); }), expected);
  }
  // A record of another plug-in, or with a control the plug-in lacks, leaves the slot as it was.
  TMemoryWriter limiter;
  CreatePluginSlot(host, LimiterUri, Rate)->Save(limiter);
  TMemoryReader other(limiter.Bytes().data(), limiter.Bytes().size());
  EXPECT_EQ(Refusal([&] { chain.Item(1)->Load(other); }), "Неверный формат файла!");
  std::vector<uint8_t> record = {100, 0, 0, 0, 36, 0, 0, 0};
  record.insert(record.end(), AmpUri, AmpUri + 36);
  record.insert(record.end(), {1, 0, 0, 0, 4, 0, 0, 0, 'G', 'a', 'i', 'n', 0, 0, 0, 0, 0, 0, 0, 0});
  TMemoryReader unknown(record.data(), record.size());
  EXPECT_EQ(Refusal([&] { TPluginSlot(host, Rate).Load(unknown); }),
            "Модуль LV2 «Simple amplifier» не имеет параметра «Gain»");
}

TEST(PluginSlot, AMonoPluginRunsPerChannelAndAStereoOneOnAMonoBlockGivesTheMeanOfItsOutputs) {
  const auto host = TestPlugins();
  // A filter's state of its own per channel: the impulse's tail stays on the left.
  const auto lowpass = CreatePluginSlot(host, "http://plugin.org.uk/swh-plugins/lowpass_iir", Rate);
  ASSERT_FALSE(lowpass->JoinsChannels());
  Set(*lowpass, "cutoff", 100.0);
  std::vector<float> left(2000, 0.0f);
  std::vector<float> right(2000, 0.0f);
  left[0] = 20000.0f;
  ChannelBlock l{MakePCMFormat(Rate, 2, 16), left.data(), 1000};
  ChannelBlock r{MakePCMFormat(Rate, 2, 16), right.data(), 1000};
  for (const int half : {0, 1000}) {
    l.Samples = left.data() + half;
    r.Samples = right.data() + half;
    lowpass->Process(l, 0);
    lowpass->Process(r, 1);
  }
  EXPECT_NE(left[1000], 0.0f);
  EXPECT_EQ(std::count(right.begin(), right.end(), 0.0f), 2000);

  // The stereo simulator makes two different channels of one; on a mono block their mean comes back.
  const auto mono = CreatePluginSlot(host, StereoUri, Rate);
  const auto stereo = CreatePluginSlot(host, StereoUri, Rate);
  ASSERT_TRUE(stereo->JoinsChannels());
  std::vector<float> x(3000);
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<float>(10000.0 * std::sin(0.03 * static_cast<double>(i)) * std::cos(0.0007 * i));
  }
  std::vector<float> a = x;
  std::vector<float> b = x;
  ChannelBlock m{MakePCMFormat(Rate, 1, 16), x.data(), 3000};
  ChannelBlock sa{MakePCMFormat(Rate, 2, 16), a.data(), 3000};
  ChannelBlock sb{MakePCMFormat(Rate, 2, 16), b.data(), 3000};
  mono->Process(m, 0);
  stereo->ProcessJoined(sa, sb);
  EXPECT_NE(a, b);
  for (size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(x[i], 0.5f * (a[i] + b[i])) << "at " << i;
  }
}

TEST(PluginSlot, EditsAndSwitchesWhileAnotherThreadRunsTheChainLeaveItAsAFreshChainOfTheLastValues) {
  const auto host = TestPlugins();
  TFilterList chain(Rate);
  chain.Add(CreatePluginSlot(host, AmpUri, Rate));
  chain.Add(CreatePluginSlot(host, LimiterUri, Rate));
  chain.Add(CreateFilter(9, Rate));
  chain.Add(CreatePluginSlot(host, StereoUri, Rate));
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load()) {
      Render(chain, 1, 512);
    }
  });
  std::mt19937 random(3);
  for (int step = 0; step < 200; ++step) {
    Set(*chain.Item(0), "gain", static_cast<double>(random() % 41) - 20.0);
    Set(*chain.Item(1), "knee", static_cast<double>(random() % 2));
    const int slot = static_cast<int>(random() % 4);
    chain.SetEnabled(slot, false); // fresh instances of a plug-in, handed over under its lock
    chain.SetEnabled(slot, true);
  }
  stop = true;
  worker.join();

  TFilterList fresh(Rate);
  TMemoryWriter record;
  chain.Save(record);
  TMemoryReader in(record.Bytes().data(), record.Bytes().size());
  fresh.Load(in, PluginAwareFactory(host));
  for (int i = 0; i < chain.Count(); ++i) {
    chain.SetEnabled(i, false);
    chain.SetEnabled(i, true);
  }
  EXPECT_EQ(Render(chain, 2, 700), Render(fresh, 2, 700));
}
