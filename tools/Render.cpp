#include "tools/Render.h"

#include "app/ProcessingThread.h"
#include "devices/AudioFormats.h"
#include "devices/DeviceCatalogue.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "tools/ChainCommands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Set by SIGINT and SIGTERM: the run ends after the pass under way and completes its files.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int) {
  stopRequested = 1;
}

// SIGINT and SIGTERM request a stop for as long as a command runs, from before any file is opened.
class TStopSignals {
public:
  TStopSignals() {
    stopRequested = 0;
    previousInt = std::signal(SIGINT, RequestStop);
    previousTerm = std::signal(SIGTERM, RequestStop);
  }
  ~TStopSignals() {
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  void (*previousInt)(int) = SIG_DFL;
  void (*previousTerm)(int) = SIG_DFL;
};

// The window side of the worker on the command line: it counts blocks and prints errors.
class TRenderWindow final : public TProcessingNotify {
public:
  TRenderWindow(std::ostream& err, int64_t frameLimit) : err(err), frameLimit(frameLimit) {}

  void Attach(TProcessingThread& thread) { worker = &thread; }

  // Called on the worker after each block, and after an error or notice.
  void PostDSPNotify(uintptr_t wParam) override {
    if (wParam != 0) {
      return;
    }
    const uint64_t ns = worker->Elapsed();
    ++blocks;
    totalNs += ns;
    maxNs = std::max(maxNs, ns);
    frames += worker->Work().Frames();
    if (frameLimit > 0 && frames >= frameLimit) {
      worker->Terminate(); // this block is still written
    }
  }
  void RunSynchronously(const std::function<void()>& call) override { call(); }
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
  int64_t frameLimit;
  TProcessingThread* worker = nullptr;
};

// The device lists of the dialog, built once per run when a device is named.
class TDeviceLists {
public:
  const std::vector<TInputDeviceItem>& Inputs() {
    Enumerate();
    return inputs;
  }
  const std::vector<TOutputDeviceItem>& Outputs() {
    Enumerate();
    return outputs;
  }
  // Whether the sound server answers, with its own text when it does not.
  TSoundResult ServerStatus() {
    Enumerate();
    return SoundServerStatus(services);
  }
  // A ring device is named: with no server, that is the device layer's error, not a usage error.
  template <typename Family> void RequireServer(Family family) {
    const TSoundResult status = ServerStatus();
    if (status.Failed()) {
      RaiseSoundServerError(status, family);
    }
  }

private:
  void Enumerate() {
    if (!services) {
      services = std::make_shared<TPulseSoundServices>();
      inputs = InputDeviceItems(services);
      outputs = OutputDeviceItems(services);
    }
  }
  std::shared_ptr<TSoundServices> services;
  std::vector<TInputDeviceItem> inputs;
  std::vector<TOutputDeviceItem> outputs;
};

template <typename Item, typename Family>
const Item& FindItem(const std::vector<Item>& items, Family family, int index, const char* option) {
  for (const Item& item : items) {
    if (item.Family == family && item.Index == index) {
      return item;
    }
  }
  throw TUsageError(std::string("Нет устройства с номером ") + std::to_string(index) + " для " + option);
}

std::unique_ptr<TRecordingDevice> MakeInput(const TDeviceChoice& choice, TDeviceLists& devices,
                                            const std::optional<int>& inFormat) {
  if (choice.Family == TDeviceFamily::File) {
    auto reader = std::make_unique<TWAVEFileRecordingDevice>();
    reader->SetFileName(choice.FileName);
    return reader;
  }
  if (choice.Family == TDeviceFamily::Ring) {
    devices.RequireServer(TInputFamily::RingCapture);
  }
  const auto& item = choice.Family == TDeviceFamily::Ring
                         ? FindItem(devices.Inputs(), TInputFamily::RingCapture, choice.Index, "--capture")
                         : FindItem(devices.Inputs(), TInputFamily::WaveIn, choice.Index, "--wave-in");
  auto device = item.Factory();
  device->Buffer().Format() = FormatTable[inFormat.value_or(31)];
  return device;
}

std::unique_ptr<TPlaybackDevice> MakeOutput(const TDeviceChoice& choice, TDeviceLists& devices) {
  if (choice.Family == TDeviceFamily::File) {
    auto writer = std::make_unique<TWAVEFilePlaybackDevice>();
    writer->SetFileName(choice.FileName);
    return writer;
  }
  if (choice.Family == TDeviceFamily::Ring) {
    devices.RequireServer(TOutputFamily::RingPlayback);
  }
  const auto& item = choice.Family == TDeviceFamily::Ring
                         ? FindItem(devices.Outputs(), TOutputFamily::RingPlayback, choice.Index, "--play")
                         : FindItem(devices.Outputs(), TOutputFamily::WaveOut, choice.Index, "--wave-out");
  return item.Factory();
}

const char* OptionOf(TInputFamily family) {
  return family == TInputFamily::RingCapture ? "--capture"
         : family == TInputFamily::WaveIn    ? "--wave-in"
                                             : nullptr;
}

const char* OptionOf(TOutputFamily family) {
  return family == TOutputFamily::RingPlayback ? "--play"
         : family == TOutputFamily::WaveOut    ? "--wave-out"
                                               : nullptr;
}

// The lists as the device dialog shows them, each line led by the option that chooses the device.
template <typename Item>
void PrintItems(const std::vector<Item>& items, const char* fileChoice, std::ostream& out) {
  for (const Item& item : items) {
    const char* option = OptionOf(item.Family);
    out << (option != nullptr ? std::string(option) + " " + std::to_string(item.Index)
                              : std::string(fileChoice))
        << '\t' << item.Text << '\n';
  }
}

void PrintDeviceLists(TDeviceLists& devices, std::ostream& out) {
  const TSoundResult server = devices.ServerStatus();
  if (server.Failed()) {
    out << "Звуковой сервер недоступен (" << server.Text << "): устройств PulseAudio нет\n";
  }
  out << "Устройства оцифровки:\n";
  PrintItems(devices.Inputs(), "ВХОД.wav", out);
  out << "Устройства воспроизведения:\n";
  PrintItems(devices.Outputs(), "ВЫХОД.wav", out);
}

void RunAction(const TRenderAction& action, TFilterList& chain, std::ostream& out) {
  using K = TRenderAction::Kind;
  auto slot = [&]() -> TFilter& {
    if (action.Slot >= chain.Count()) {
      throw TUsageError("В цепочке нет фильтра в позиции " + std::to_string(action.Slot));
    }
    return *chain.Item(action.Slot);
  };
  switch (action.What) {
  case K::Chain:
    LoadChainFile(chain, action.Text);
    break;
  case K::Add:
    AddFilterFromText(chain, action.Text);
    break;
  case K::Disable:
    slot();
    chain.SetEnabled(action.Slot, false);
    break;
  case K::LoadFilter:
    LoadFilterFile(slot(), action.Text);
    break;
  case K::SaveChain:
    SaveChainFile(chain, action.Text);
    break;
  case K::SaveFilter:
    SaveFilterFile(slot(), action.Text);
    break;
  case K::Print:
    PrintChain(chain, out);
    break;
  case K::Response:
    PrintResponse(chain, out);
    break;
  }
}

} // namespace

int RunRenderCommand(const TRenderCommand& command, std::ostream& out, std::ostream& err) {
  if (command.Help) {
    out << RenderUsage;
    return 0;
  }
  const TStopSignals signals;
  const auto wallStart = std::chrono::steady_clock::now();
  TDeviceLists devices;
  if (command.ListDevices) {
    PrintDeviceLists(devices, out);
    if (!command.Input && command.Actions.empty()) {
      return 0;
    }
  }
  std::unique_ptr<TRecordingDevice> input;
  int32_t rate = command.Rate;
  try {
    if (command.Input) {
      input = MakeInput(*command.Input, devices, command.InFormat);
      input->Open();
      rate = static_cast<int32_t>(input->Buffer().Format().nSamplesPerSec);
    }
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  } catch (const TUsageError& e) {
    err << e.what() << "\n\n" << RenderUsage;
    return 2;
  }

  TFilterList chain(rate);
  try {
    for (const TRenderAction& action : command.Actions) {
      RunAction(action, chain, out);
    }
  } catch (const TUsageError& e) {
    err << e.what() << "\n\n" << RenderUsage;
    return 2;
  } catch (const TFilterError& e) {
    err << e.what() << '\n';
    return 1;
  }
  out.flush();
  if (!input) {
    return 0;
  }

  auto outputs = std::make_unique<TPlaybackDevsList>();
  const TWaveFormat outputFormat =
      command.OutFormat ? FormatTable[*command.OutFormat] : input->Buffer().Format();
  try {
    for (const TDeviceChoice& choice : command.Outputs) {
      auto device = MakeOutput(choice, devices);
      device->Buffer().Format() = outputFormat;
      outputs->Add(std::move(device));
    }
  } catch (const TUsageError& e) {
    err << e.what() << "\n\n" << RenderUsage;
    return 2;
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  }

  const int64_t frameLimit = command.Seconds ? static_cast<int64_t>(*command.Seconds * rate + 0.5) : 0;
  TRenderWindow window(err, frameLimit);
  try {
    outputs->OpenAll();
    TProcessingThread worker(chain, *outputs, *input, window);
    window.Attach(worker);
    if (stopRequested == 0) {
      worker.ResumeProcessing();
      while (!worker.Finished()) {
        if (stopRequested != 0) {
          worker.Abort(); // an interrupted render stops at once; the files are still completed
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    worker.WaitFor();
  } catch (const TDSPException& e) {
    err << ComposeDSPMessage(e).Text << '\n';
    return 1;
  }
  // The input first, then the outputs: closing a writer completes its header.
  input.reset();
  outputs.reset();
  if (window.failed) {
    return 1;
  }

  const double seconds = static_cast<double>(window.frames) / rate;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const double meanMs = window.blocks > 0 ? window.totalNs / 1e6 / static_cast<double>(window.blocks) : 0.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "blocks=%lld frames=%lld seconds=%.3f mean_ms=%.3f max_ms=%.3f realtime=%.1f\n",
                static_cast<long long>(window.blocks), static_cast<long long>(window.frames), seconds, meanMs,
                static_cast<double>(window.maxNs) / 1e6, wall > 0 ? seconds / wall : 0.0);
  out << line;
  return 0;
}
