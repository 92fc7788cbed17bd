// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/Render.h"

#include "devices/AudioFormats.h"
#include "devices/FileChecks.h"
#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingSetUp.h"
#include "filters/lv2/PluginSlot.h"
#include "tools/ChainCommands.h"
#include "tools/RenderActions.h"
#include "tools/RenderDevices.h"
#include "tools/RenderProgress.h"
#include "tools/RenderProtections.h"
#include "tools/RenderSignals.h"
#include "tools/RenderSummary.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// The window side of the worker on the command line: it counts blocks and prints errors. The
// counts are the worker's until it has ended; the displays' notifications mean nothing here.
class TRenderWindow final : public TProcessingNotify {
public:
  explicit TRenderWindow(std::ostream& err) : err(err) {}

  // Called on the worker after each block.
  void BlockProcessed(uint64_t ns, int32_t blockFrames) override {
    ++blocks;
    totalNs += ns;
    maxNs = std::max(maxNs, ns);
    frames += blockFrames;
  }
  void PostDSPNotify(uintptr_t) override {}
  void ShowDSPException(const TDSPException& e) override {
    if (e.Informational) {
      return; // the end of the input file is the normal end
    }
    failed = true;
    err << ComposeDSPMessage(e).Text << '\n';
  }

  int64_t blocks = 0;
  int64_t frames = 0;
  uint64_t totalNs = 0;
  uint64_t maxNs = 0;
  bool failed = false;

private:
  std::ostream& err;
};

} // namespace

int RunRenderCommand(const TRenderCommand& command, std::ostream& out, std::ostream& err,
                     const TRenderConsole& console) {
  if (command.Help) {
    out << RenderUsage;
    return 0;
  }
  if (command.Version) {
    out << "sonolab-render " << RenderVersion << '\n';
    return 0;
  }
  try {
    CheckFiles(command, console);
  } catch (const TUsageError& e) {
    PrintUsageError(e, err);
    return 2;
  }
  // With the sound on standard output, every line of text goes to standard error.
  std::ostream& text = SoundGoesToStdout(command) ? err : out;

  const TStopSignals signals;
  const auto wallStart = std::chrono::steady_clock::now();
  if (command.ListFormats) {
    for (int i = 0; i < FormatCount; ++i) {
      text << i << '\t' << FormatName(i) << '\n';
    }
    if (!command.Input && command.Actions.empty() && !command.ListDevices && !command.ListPlugins) {
      return 0;
    }
  }
  TDeviceLists devices;
  if (command.ListDevices) {
    PrintDeviceLists(devices, text);
    if (!command.Input && command.Actions.empty() && !command.ListPlugins) {
      return 0;
    }
  }
  // The installed plug-ins are looked for only when a plug-in is named or a chain read.
  const auto plugins = std::make_shared<TPluginHost>();
  if (command.ListPlugins) {
    PrintPlugins(*plugins, command.Verbose, text);
    if (!command.Input && command.Actions.empty()) {
      return 0;
    }
  }
  // The set-up's wiring is the windows' own: the input (and the chain at its rate) first; the chain
  // actions; then the outputs and the worker.
  std::unique_ptr<TProcessingSetUp> setUp;
  TWAVEFileRecordingDevice* reader = nullptr;
  int32_t rate = command.Rate;
  try {
    if (command.Input) {
      std::unique_ptr<TRecordingDevice> device =
          MakeInput(*command.Input, devices, command.InFormat, command.MakeDefault);
      reader = dynamic_cast<TWAVEFileRecordingDevice*>(device.get());
      device->SetBlockFrames(command.BlockFrames);
      setUp = std::make_unique<TProcessingSetUp>(std::move(device));
      rate = static_cast<int32_t>(setUp->Input()->Buffer().Format().nSamplesPerSec);
    }
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  } catch (const TUsageError& e) {
    PrintUsageError(e, err);
    return 2;
  }
  if (setUp) {
    // A container that cannot take the outputs' format is refused before any file is written.
    try {
      CheckOutputContainers(command, command.OutFormat ? FormatTable[*command.OutFormat]
                                                       : setUp->Input()->Buffer().Format());
    } catch (const TUsageError& e) {
      PrintUsageError(e, err);
      return 2;
    }
  }
  if (reader != nullptr) {
    reader->SetTailFrames(std::llround(command.TailSeconds * rate));
    if (reader->Converted() && !command.Quiet) {
      err << "Вход " << ShownFileName(reader->FileName(), false) << " (" << reader->FileFormatText()
          << ") читается с преобразованием в 16 бит\n";
    }
  }

  std::unique_ptr<TFilterList> ownChain; // a chain without an input: --rate gives its rate
  if (!setUp) {
    ownChain = std::make_unique<TFilterList>(rate);
  }
  TFilterList& chain = setUp ? *setUp->Chain() : *ownChain;
  try {
    for (const TRenderAction& action : command.Actions) {
      RunChainAction(action, chain, plugins, text);
    }
  } catch (const TUsageError& e) {
    PrintUsageError(e, err);
    return 2;
  } catch (const TFilterError& e) {
    err << e.what() << '\n';
    return 1;
  }
  text.flush();
  if (!setUp) {
    return 0;
  }

  auto outputs = std::make_unique<TPlaybackDevsList>();
  try {
    for (const TDeviceChoice& choice : command.Outputs) {
      auto device = MakeOutput(choice, devices, command.OutType);
      if (command.OutFormat) {
        device->SetFormat(FormatTable[*command.OutFormat]); // otherwise the set-up gives the input's
      }
      outputs->Add(std::move(device));
    }
  } catch (const TUsageError& e) {
    PrintUsageError(e, err);
    return 2;
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  }

  const int64_t totalFrames = reader != nullptr && reader->TotalFrames() >= 0
                                  ? reader->TotalFrames() + std::llround(command.TailSeconds * rate)
                                  : -1;
  const bool progressShown =
      console.StderrIsTerminal && reader != nullptr && !command.Quiet &&
      (totalFrames < 0 || static_cast<double>(totalFrames) > TProgress::FromSeconds * rate);
  TRenderWindow window(err);
  bool drainedWhole = true;
  std::vector<std::string> unfinished;
  uint64_t clipped = 0;
  uint64_t dropouts = 0;
  try {
    setUp->OpenOutputs(std::move(outputs), window);
    TProcessingThread& worker = *setUp->Worker();
    worker.LimitFrames(command.Seconds ? std::llround(*command.Seconds * rate) : 0);
    TProgress progress(err, progressShown, totalFrames, static_cast<uint32_t>(rate));
    const auto wallNow = [&] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    };
    progress.Update(0, wallNow(), true);
    bool realtimeTold = !command.Verbose;
    const auto tellRealtime = [&] {
      if (realtimeTold) {
        return;
      }
      if (const std::optional<TRealtimeOutcome> realtime = worker.Realtime()) {
        progress.Clear();
        err << "Реальное время: " << DescribeRealtimeWay(*realtime)
            << (realtime->Why.empty() ? "" : " (" + realtime->Why + ")") << '\n';
        realtimeTold = true;
      }
    };
    if (command.Verbose) {
      progress.Clear();
      err << "Блок обработки: "
          << BlockLengthText(setUp->Input()->Buffer().CapacityFrames(), static_cast<uint32_t>(rate)) << '\n';
    }
    if (StopRequested() == 0) {
      worker.ResumeProcessing();
      while (!worker.Finished()) {
        if (StopRequested() != 0) {
          worker.Abort(); // an interrupted render stops at once; the files are still completed
        }
        tellRealtime();
        progress.Update(worker.FramesProcessed(), wallNow());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    worker.WaitFor();
    tellRealtime();
    const bool clockedInput =
        setUp->Input()->Kind() == dkDirectSoundRecording || setUp->Input()->Kind() == dkWaveAudioRecording;
    if (command.Verbose && clockedInput && worker.InputSpanFrames() > 0) {
      progress.Clear();
      char clock[160];
      std::snprintf(clock, sizeof clock, "Со входа после первой секунды: %.3f с звука за %.3f с по часам\n",
                    static_cast<double>(worker.InputSpanFrames()) / rate,
                    std::chrono::duration<double>(worker.InputSpanTime()).count());
      err << clock;
    }
    if (command.Verbose && worker.LostFrames() > 0) {
      progress.Clear();
      char lost[160];
      std::snprintf(lost, sizeof lost, "Потеряно звука входа: %.3f с, в файлы записано тишиной\n",
                    static_cast<double>(worker.LostFrames()) / rate);
      err << lost;
    }
    if (command.Verbose && worker.ServerBufferGrowthMs() > 0) {
      err << "Буфер сервера звука после пропусков увеличен на " << worker.ServerBufferGrowthMs() << " мс\n";
    }
    progress.Update(worker.FramesProcessed(), wallNow(), true);
    progress.Clear();
    drainedWhole = worker.DrainedWhole();
    for (int i = 0; i < setUp->Outputs()->Count(); ++i) {
      if (!setUp->Outputs()->Drained(i)) {
        unfinished.push_back(OutputName(command.Outputs[static_cast<size_t>(i)]));
      }
    }
    clipped = worker.ClippedSamples();
    dropouts = worker.Dropouts();
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  }
  // The input first, then the outputs: closing a writer completes its file, and a file that could not
  // be completed is an error of the render, whatever else happened.
  const int channels = setUp->Input()->Buffer().Format().nChannels;
  const std::vector<TDSPException> unfinishedFiles = setUp->Teardown();
  for (const TDSPException& e : unfinishedFiles) {
    err << ComposeDSPMessage(e).Text << '\n';
  }
  if (window.failed) {
    return 1;
  }
  const int stopSignal = StopRequested();
  const bool interrupted = stopSignal != 0;
  int status = !unfinishedFiles.empty() ? 1 : interrupted ? 128 + stopSignal : 0;
  if (!interrupted && !drainedWhole) {
    for (const std::string& name : unfinished) {
      err << "Выход " << name << " не доиграл звук до конца: время ожидания истекло\n";
    }
    status = 1;
  }

  TRenderFigures figures;
  figures.Blocks = window.blocks;
  figures.Frames = window.frames;
  figures.TotalNs = window.totalNs;
  figures.MaxNs = window.maxNs;
  figures.Clipped = clipped;
  figures.Dropouts = dropouts;
  figures.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  figures.Rate = rate;
  figures.Channels = channels;
  ReportRender(command, figures, status, text, err);
  return status;
}
