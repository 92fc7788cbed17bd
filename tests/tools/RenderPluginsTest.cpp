// SPDX-License-Identifier: GPL-3.0-or-later
// sonolab-render with LV2 plug-ins of Debian's swh-lv2 and mda-lv2 (and the tests' own bundle, on
// LV2_PATH): what it lists, adds, sets, prints and refuses, and the sound of real files through them.

#include "support/Plugins.h"
#include "support/RenderRun.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sonotest;

namespace {

class RenderPlugins : public ::testing::Test {
protected:
  std::string Path(const std::string& name) const { return dir.File(name); }

  TRenderRun Run(const std::string& arguments) const {
    return RunRenderShell(dir, arguments, "LV2_PATH='" + TestPluginPath + "'");
  }

  std::vector<int16_t> Samples(const std::string& name) const { return ReadWave(Path(name)).Samples; }

  TTempDir dir{"sonolab-plugins"};
};

} // namespace

TEST_F(RenderPlugins, AGainPluginGivesItsExactGainOnBothChannelsOfAStereoFile) {
  // Different sounds left and right, quiet enough for 20 dB.
  std::vector<int16_t> in(2 * 30000);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<int16_t>(static_cast<int>((i * 7919) % 6001) - 3000) / (i % 2 == 0 ? 1 : 3);
  }
  WriteWave(Path("in.wav"), 44100, 2, in);
  const TRenderRun run = Run(Path("in.wav") + " " + Path("out.wav") + std::string(" --add-lv2 ") + AmpUri +
                             " --set 0 gain=20 --print --quiet");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "0\tSimple amplifier (http://plugin.org.uk/swh-plugins/amp)\ton\tgain=20\n");
  const std::vector<int16_t> out = Samples("out.wav");
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], 10 * in[i]) << "sample " << i;
  }
}

TEST_F(RenderPlugins, AChainSavedWithPluginsRendersTheSameSoundWhenLoaded) {
  std::vector<int16_t> in(2 * 40000);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<int16_t>(static_cast<int>((i * 104729) % 40001) - 20000);
  }
  WriteWave(Path("in.wav"), 44100, 2, in);
  TRenderRun run =
      Run(Path("in.wav") + " " + Path("a.wav") + " --add-lv2 " + LimiterUri +
          " --set 0 thresh=0.2,knee=1 --add 9:Delay=50 --add-lv2 " + StereoUri + " --add-lv2 " + AmpUri +
          " --set 2 width=0.9 --set 3 gain=-3.5 --save-chain " + Path("c.lst") + " --quiet");
  ASSERT_EQ(run.Status, 0) << run.Err;
  run = Run(Path("in.wav") + " " + Path("b.wav") + " --chain " + Path("c.lst") + " --print --quiet");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("\tthresh=0.2\toutput=0.6\trelease=0.5\tattack=0.15\tknee=1\n"), std::string::npos);
  EXPECT_NE(run.Out.find("3\tSimple amplifier (http://plugin.org.uk/swh-plugins/amp)\ton\tgain=-3.5\n"),
            std::string::npos);
  EXPECT_EQ(ReadBytes(Path("b.wav")), ReadBytes(Path("a.wav")));
  EXPECT_NE(Samples("a.wav"), in);
}

TEST_F(RenderPlugins, ListsAddsAndRefusesPluginsNamingThemAndPrintsTheLatencyTheyReport) {
  TRenderRun run = Run("--list-lv2");
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find(std::string(AmpUri) + "\tSimple amplifier\n"), std::string::npos);
  EXPECT_EQ(run.Out.find("swh-plugins/inv\t"), std::string::npos); // no parameters
  EXPECT_EQ(run.Out.find(NeedsWorkerUri), std::string::npos);
  run = Run("--list-lv2 --verbose");
  EXPECT_NE(run.Out.find(std::string(AmpUri) + "\tSimple amplifier\tУсилитель\n"), std::string::npos);
  EXPECT_NE(run.Out.find("swh-plugins/inv\tInverter\tпропущен: нет параметров на портах управления\n"),
            std::string::npos);
  EXPECT_NE(run.Out.find("urn:sonolab:test:needs-worker\tGain that needs a worker\tпропущен: требует "
                         "возможность, которой Sonolab не даёт: http://lv2plug.in/ns/ext/worker#schedule"),
            std::string::npos);

  run = Run(std::string("--add-lv2 ") + LatencyUri + " --set 0 delay=10 --print");
  EXPECT_EQ(run.Out,
            "0\tArtificial latency (http://plugin.org.uk/swh-plugins/artificialLatency)\ton\tзадержка=441"
            "\tdelay=10\n");
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"--add-lv2 urn:sonolab:test:absent", "Модуль LV2 не установлен: urn:sonolab:test:absent"},
      {std::string("--add-lv2 ") + NeedsWorkerUri,
       "Модуль LV2 «Gain that needs a worker» (urn:sonolab:test:needs-worker) не подходит: требует "
       "возможность, "
       "которой Sonolab не даёт: http://lv2plug.in/ns/ext/worker#schedule (фоновые задачи модуля, worker)"},
      {std::string("--add-lv2 ") + AmpUri + " --set 0 gain=71",
       "Значение вне допустимого диапазона: gain=71 (допустимо: от -70 до 70)"},
      {std::string("--add-lv2 ") + LimiterUri + " --set 0 knee=2",
       "Значение вне допустимого диапазона: knee=2 (допустимо: 0 (Hard) или 1 (Soft))"},
      {std::string("--add-lv2 ") + AmpUri + " --set 0 volume=1",
       "Неизвестный параметр фильтра «Simple amplifier»: volume; его параметры: gain"},
      {"--add 9 --set 0 Delay=0", "Значение вне допустимого диапазона: Delay=0 (допустимо: от 1 до 1000 мс)"},
      {"--set 0 gain=1", "В цепочке нет фильтра в позиции 0 (цепочка пуста)"},
  };
  for (const auto& [arguments, message] : refused) {
    run = Run(arguments);
    EXPECT_EQ(run.Status, 2) << arguments;
    EXPECT_EQ(run.Err, message + "\nПодробнее: sonolab-render --help\n");
  }
  run = Run("--add 9 --set 0 delay=250,DECAYTIME=500 --print");
  EXPECT_EQ(run.Out, "0\tЭффект \"Эхо\"\ton\tDelay=250\tDecayTime=500\n");
}
