// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/Render.h"

#include "devices/AudioFormats.h"
#include "devices/DeviceCatalogue.h"
#include "devices/FileChecks.h"
#include "devices/VirtDevs.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"
#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingSetUp.h"
#include "filters/lv2/PluginSlot.h"
#include "tools/ChainCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// Set by SIGINT and SIGTERM to the signal's number: the run ends after the pass under way and
// completes its files.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int signal) {
  stopRequested = signal;
}

// SIGINT and SIGTERM request a stop for as long as a command runs, from before any file is opened.
// SIGPIPE and SIGXFSZ are ignored: a reader that leaves the pipe of a "-" output, or a file-size
// limit, makes that write fail with an error, and every file is still completed.
class TStopSignals {
public:
  TStopSignals() {
    stopRequested = 0;
    previousInt = std::signal(SIGINT, RequestStop);
    previousTerm = std::signal(SIGTERM, RequestStop);
    previousPipe = std::signal(SIGPIPE, SIG_IGN);
    previousFileSize = std::signal(SIGXFSZ, SIG_IGN);
  }
  ~TStopSignals() {
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::signal(SIGPIPE, previousPipe);
    std::signal(SIGXFSZ, previousFileSize);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  void (*previousInt)(int) = SIG_DFL;
  void (*previousTerm)(int) = SIG_DFL;
  void (*previousPipe)(int) = SIG_DFL;
  void (*previousFileSize)(int) = SIG_DFL;
};

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

std::unique_ptr<TPlaybackDevice> MakeOutput(const TDeviceChoice& choice, TDeviceLists& devices,
                                            TFileKind outType) {
  if (choice.Family == TDeviceFamily::File) {
    auto writer = std::make_unique<TWAVEFilePlaybackDevice>();
    writer->SetFileName(choice.FileName);
    writer->SetDefaultKind(outType);
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

// The settings-file actions name their file when they fail; a file that cannot be opened or
// created also gets the system's words for why.
std::string FileOfAction(const TRenderAction& action) {
  using K = TRenderAction::Kind;
  switch (action.What) {
  case K::Chain:
  case K::LoadFilter:
  case K::SaveChain:
  case K::SaveFilter:
    return action.Text;
  default:
    return {};
  }
}

void RunAction(const TRenderAction& action, TFilterList& chain, const std::shared_ptr<TPluginHost>& plugins,
               std::ostream& out) {
  using K = TRenderAction::Kind;
  auto slot = [&]() -> TFilter& {
    if (action.Slot >= chain.Count()) {
      throw TUsageError("В цепочке нет фильтра в позиции " + std::to_string(action.Slot) +
                        (chain.Count() == 0
                             ? std::string(" (цепочка пуста)")
                             : " (позиции от 0 до " + std::to_string(chain.Count() - 1) + ")"));
    }
    return *chain.Item(action.Slot);
  };
  errno = 0;
  try {
    switch (action.What) {
    case K::Chain:
      LoadChainFile(chain, action.Text, PluginAwareFactory(plugins));
      break;
    case K::Add:
      AddFilterFromText(chain, action.Text);
      break;
    case K::AddPlugin:
      AddPluginFromUri(chain, plugins, action.Text);
      break;
    case K::Set:
      SetParametersFromText(slot(), action.Text);
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
  } catch (const TFilterError& e) {
    const int code = errno;
    const std::string file = FileOfAction(action);
    if (file.empty()) {
      throw;
    }
    std::string text = std::string(e.what()) + " Файл \"" + file + "\"";
    const bool opening =
        std::strcmp(e.what(), MsgCannotOpenFile) == 0 || std::strcmp(e.what(), MsgCannotCreateFile) == 0;
    if (opening && code != 0 && ::strerrordesc_np(code) != nullptr) {
      text += std::string(": ") + ::strerrordesc_np(code);
    }
    throw TFilterError(text);
  }
}

// ---- Which files a command line reads and writes ----------------------------------------------

// Refuses, before anything is opened for writing, a command line that would overwrite a file it
// reads, write one file twice, replace an existing file when the input is a device (all names are
// outputs then), replace an existing file that holds no sound of the container the output writes
// (RIFF/WAVE for a WAVE output, FLAC for FLAC, Ogg for Ogg Vorbis and Opus), or write sound to a
// terminal.
void CheckFiles(const TRenderCommand& command, const TRenderConsole& console) {
  using K = TRenderAction::Kind;
  TFileUses uses;
  std::optional<TFileKey> soundInput;
  if (command.Input && command.Input->Family == TDeviceFamily::File) {
    soundInput = FileKeyOf(command.Input->FileName, STDIN_FILENO);
    uses.AddInput(*soundInput);
  }
  std::vector<TFileKey> saves;
  for (const TRenderAction& action : command.Actions) {
    if (action.What == K::Chain || action.What == K::LoadFilter) {
      uses.AddInput(FileKeyOf(action.Text, STDIN_FILENO));
    } else if (action.What == K::SaveChain || action.What == K::SaveFilter) {
      // A settings file may be loaded, changed and saved back in place: that is not an overwrite of
      // the sound.
      const TFileKey key = FileKeyOf(action.Text, STDOUT_FILENO);
      if (soundInput && key.SameAs(*soundInput)) {
        throw TUsageError("Файл параметров " + action.Text + " - это входной файл " +
                          ShownFileName(soundInput->Name, false) + ": он не будет перезаписан");
      }
      saves.push_back(key);
    }
  }
  const bool deviceInput = command.Input && command.Input->Family != TDeviceFamily::File;
  for (const TDeviceChoice& choice : command.Outputs) {
    if (choice.Family != TDeviceFamily::File) {
      continue;
    }
    const std::string& name = choice.FileName;
    if (name == "-" && console.StdoutIsTerminal) {
      throw TUsageError("Звук не выводится на терминал: направьте стандартный вывод в файл или канал");
    }
    const TFileKey key = FileKeyOf(name, STDOUT_FILENO);
    if (const std::optional<std::string> refusal = uses.RefuseOutput(key)) {
      throw TUsageError(*refusal);
    }
    for (const TFileKey& save : saves) {
      if (key.SameAs(save)) {
        throw TUsageError("Выходной файл " + ShownFileName(name, true) + " - это файл параметров " +
                          save.Name);
      }
    }
    if (key.Exists && key.Regular && name != "-" && !command.Force) {
      if (deviceInput) {
        throw TUsageError("Файл " + name +
                          " уже существует, а при входе с устройства все имена файлов - выходы; "
                          "чтобы перезаписать его, добавьте --force");
      }
      const TFileKind kind = FileKindOfName(name, command.OutType);
      if (key.HoldsOtherThan(kind)) {
        throw TUsageError("Файл " + name + " существует и не является файлом " + FileKindInfo(kind).Holder +
                          "; чтобы перезаписать его, добавьте --force");
      }
    }
    uses.AddOutput(key);
  }
}

// Whether some output writes its sound to standard output (as "-", or by a name of the same file).
bool SoundGoesToStdout(const TRenderCommand& command) {
  const TFileKey stdoutKey = FileKeyOf("-", STDOUT_FILENO);
  for (const TDeviceChoice& choice : command.Outputs) {
    if (choice.Family == TDeviceFamily::File &&
        (choice.FileName == "-" ||
         (stdoutKey.Exists && FileKeyOf(choice.FileName, STDOUT_FILENO).SameAs(stdoutKey)))) {
      return true;
    }
  }
  return false;
}

std::string OutputName(const TDeviceChoice& choice) {
  switch (choice.Family) {
  case TDeviceFamily::Ring:
    return "--play " + std::to_string(choice.Index);
  case TDeviceFamily::WaveAudio:
    return "--wave-out " + std::to_string(choice.Index);
  case TDeviceFamily::File:
    break;
  }
  return ShownFileName(choice.FileName, true);
}

std::string InputName(const TDeviceChoice& choice) {
  switch (choice.Family) {
  case TDeviceFamily::Ring:
    return "--capture " + std::to_string(choice.Index);
  case TDeviceFamily::WaveAudio:
    return "--wave-in " + std::to_string(choice.Index);
  case TDeviceFamily::File:
    break;
  }
  return choice.FileName;
}

// A JSON string: quotes, backslashes and control characters escaped; other bytes (UTF-8) as they are.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

// ---- Progress ------------------------------------------------------------------------------------

// One line on a terminal, rewritten in place a few times a second: the share of the input done
// (when its length is known), the seconds of sound and the speed against real time.
class TProgress {
public:
  TProgress(std::ostream& err, bool shown, int64_t totalFrames, uint32_t rate)
      : err(err), shown(shown), totalFrames(totalFrames), rate(std::max<uint32_t>(rate, 1)) {}
  ~TProgress() { Clear(); }
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  // Rewrites the line, at most four times a second unless `now` asks for it at once.
  void Update(int64_t frames, double wallSeconds, bool now = false) {
    if (!shown || (!now && wallSeconds - lastWall < 0.25)) {
      return;
    }
    lastWall = wallSeconds;
    const double seconds = static_cast<double>(frames) / rate;
    const double speed = wallSeconds > 0 ? seconds / wallSeconds : 0.0;
    char line[160];
    if (totalFrames > 0) {
      const double share =
          std::min(100.0, 100.0 * static_cast<double>(frames) / static_cast<double>(totalFrames));
      std::snprintf(line, sizeof line, "\rОбработано %3.0f %% (%.1f из %.1f с), %.1fx\033[K", share, seconds,
                    static_cast<double>(totalFrames) / rate, speed);
    } else {
      std::snprintf(line, sizeof line, "\rОбработано %.1f с, %.1fx\033[K", seconds, speed);
    }
    err << line << std::flush;
    printed = true;
  }
  void Clear() {
    if (printed) {
      err << "\r\033[K" << std::flush;
      printed = false;
    }
  }

private:
  std::ostream& err;
  const bool shown;
  const int64_t totalFrames;
  const uint32_t rate;
  double lastWall = 0.0;
  bool printed = false;
};

// A file shorter than this is done before a progress line would mean anything.
constexpr double ProgressFromSeconds = 3.0;

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
      std::unique_ptr<TRecordingDevice> device = MakeInput(*command.Input, devices, command.InFormat);
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
    const TWaveFormat outputFormat =
        command.OutFormat ? FormatTable[*command.OutFormat] : setUp->Input()->Buffer().Format();
    for (const TDeviceChoice& choice : command.Outputs) {
      if (choice.Family != TDeviceFamily::File) {
        continue;
      }
      const TFileKind kind = FileKindOfName(choice.FileName, command.OutType);
      const std::string problem = FileOutputProblem(choice.FileName, kind, outputFormat);
      if (!problem.empty()) {
        PrintUsageError(TUsageError("Выходной файл " + ShownFileName(choice.FileName, true) + ": " + problem),
                        err);
        return 2;
      }
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
      RunAction(action, chain, plugins, text);
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
  const TWaveFormat outputFormat =
      command.OutFormat ? FormatTable[*command.OutFormat] : setUp->Input()->Buffer().Format();
  try {
    for (const TDeviceChoice& choice : command.Outputs) {
      auto device = MakeOutput(choice, devices, command.OutType);
      device->Buffer().Format() = outputFormat;
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
      (totalFrames < 0 || static_cast<double>(totalFrames) > ProgressFromSeconds * rate);
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
    if (stopRequested == 0) {
      worker.ResumeProcessing();
      while (!worker.Finished()) {
        if (stopRequested != 0) {
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
  // The input first, then the outputs: closing a writer completes its header.
  const int channels = setUp->Input()->Buffer().Format().nChannels;
  setUp->Teardown();
  if (window.failed) {
    return 1;
  }
  const bool interrupted = stopRequested != 0;
  int status = interrupted ? 128 + static_cast<int>(stopRequested) : 0;
  if (!interrupted && !drainedWhole) {
    for (const std::string& name : unfinished) {
      err << "Выход " << name << " не доиграл звук до конца: время ожидания истекло\n";
    }
    status = 1;
  }

  const double seconds = static_cast<double>(window.frames) / rate;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const double meanMs = window.blocks > 0 ? window.totalNs / 1e6 / static_cast<double>(window.blocks) : 0.0;
  if (clipped > 0) {
    const double samples = static_cast<double>(window.frames) * channels;
    char warning[256];
    std::snprintf(warning, sizeof warning,
                  "Предупреждение: %llu отсчётов (%.2f %%) вышли за пределы формата и ограничены; уменьшите "
                  "усиление цепочки\n",
                  static_cast<unsigned long long>(clipped),
                  samples > 0 ? 100.0 * static_cast<double>(clipped) / samples : 0.0);
    err << warning;
  }
  const TSummaryStyle style =
      command.Summary.value_or(command.Quiet ? TSummaryStyle::None : TSummaryStyle::Text);
  if (style == TSummaryStyle::None) {
    return status;
  }
  char figures[320];
  std::snprintf(
      figures, sizeof figures,
      style == TSummaryStyle::Json
          ? "\"blocks\":%lld,\"frames\":%lld,\"seconds\":%.3f,\"mean_ms\":%.3f,\"max_ms\":%.3f,"
            "\"realtime\":%.1f,\"clipped\":%llu,\"dropouts\":%llu"
          : "blocks=%lld frames=%lld seconds=%.3f mean_ms=%.3f max_ms=%.3f realtime=%.1f clipped=%llu "
            "dropouts=%llu",
      static_cast<long long>(window.blocks), static_cast<long long>(window.frames), seconds, meanMs,
      static_cast<double>(window.maxNs) / 1e6, wall > 0 ? seconds / wall : 0.0,
      static_cast<unsigned long long>(clipped), static_cast<unsigned long long>(dropouts));
  if (style == TSummaryStyle::Json) {
    std::string names;
    for (const TDeviceChoice& choice : command.Outputs) {
      const std::string name = choice.Family == TDeviceFamily::File ? choice.FileName : OutputName(choice);
      names += (names.empty() ? "" : ",") + JsonString(name);
    }
    text << "{\"input\":" << JsonString(InputName(*command.Input)) << ",\"outputs\":[" << names
         << "],\"status\":" << status << ',' << figures << "}\n";
  } else {
    text << figures << '\n';
  }
  text.flush();
  return status;
}
