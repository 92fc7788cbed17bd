// SPDX-License-Identifier: GPL-3.0-or-later
// A set-up from a PipeWire capture to a PipeWire playback at a small block, torn down in every state
// (opened and never started, running with the worker waiting on the graph, paused, paused and played
// again) under a watchdog: a teardown waits for at most the pass under way and reports nothing.

#include "devices/PipeWireDevices.h"
#include "engine/ProcessingSetUp.h"
#include "support/PrivatePipeWire.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace sonotest;
using namespace std::chrono_literals;

namespace {

class TCountingWindow final : public TProcessingNotify {
public:
  void PostDSPNotify(uintptr_t) override {}
  void BlockProcessed(uint64_t, int32_t) override { ++blocks; }
  void ShowDSPException(const TDSPException& e) override { failed = ComposeDSPMessage(e).Text; }
  std::atomic<int64_t> blocks{0};
  std::string failed; // read after the worker has ended
};

TGraphNode NullSink(const std::vector<TGraphNode>& nodes, bool monitor) {
  const auto node = std::find_if(nodes.begin(), nodes.end(), [&](const TGraphNode& n) {
    return n.Name == "sonolab_null" && n.Monitor == monitor;
  });
  return node != nodes.end() ? *node : TGraphNode{};
}

} // namespace

TEST(PipeWireSetUp, TearsDownInEveryStateWithinOnePass) {
  SONOTEST_REQUIRE_PIPEWIRE();
  TWatchdog watchdog(120s, "PipeWire set-ups torn down in every state");
  const auto graph = std::make_shared<TPipeWireGraph>();
  for (int state = 0; state < 4; ++state) {
    auto input = std::make_unique<TPipeWireRecordingDevice>(graph, NullSink(graph->CaptureNodes(), true));
    input->Buffer().Format() = MakePCMFormat(48000, 2, 16);
    input->SetBlockFrames(128);
    auto outputs = std::make_unique<TPlaybackDevsList>();
    outputs->Add(std::make_unique<TPipeWirePlaybackDevice>(graph, NullSink(graph->PlaybackNodes(), false)));
    outputs->Item(0)->Buffer().Format() = MakePCMFormat(44100, 1, 8); // converted by the worker too
    TCountingWindow window;
    TProcessingSetUp setUp(std::move(input));
    setUp.OpenOutputs(std::move(outputs), window);
    TProcessingThread& worker = *setUp.Worker();
    if (state >= 1) {
      worker.ResumeProcessing();
      for (int64_t seen = window.blocks; window.blocks < seen + 20;) {
        std::this_thread::sleep_for(1ms); // until blocks flow through the graph
      }
    }
    if (state >= 2) {
      worker.PauseProcessing();
    }
    if (state >= 3) {
      worker.ResumeProcessing();
    }
    setUp.Teardown();
    EXPECT_EQ(window.failed, "") << "state " << state;
  }
}
