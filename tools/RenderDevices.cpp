// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderDevices.h"

#include "devices/AudioFormats.h"
#include "devices/DirectSoundDevices.h"
#include "devices/WaveAudioDevices.h"
#include "devices/WaveFile.h"
#include "devices/platform/PulseSoundServices.h"

#include <string>

namespace {

template <typename Item, typename Family>
const Item& FindItem(const std::vector<Item>& items, Family family, int index, const char* option) {
  for (const Item& item : items) {
    if (item.Family == family && item.Index == index) {
      return item;
    }
  }
  throw TUsageError(std::string("Нет устройства с номером ") + std::to_string(index) + " для " + option);
}

const char* OptionOf(TInputFamily family) {
  return family == TInputFamily::Apps           ? "--apps"
         : family == TInputFamily::RingCapture  ? "--capture"
         : family == TInputFamily::GraphCapture ? "--pw-capture"
         : family == TInputFamily::WaveIn       ? "--wave-in"
                                                : nullptr;
}

const char* OptionOf(TOutputFamily family) {
  return family == TOutputFamily::RingPlayback    ? "--play"
         : family == TOutputFamily::GraphPlayback ? "--pw-play"
         : family == TOutputFamily::WaveOut       ? "--wave-out"
                                                  : nullptr;
}

template <typename Item>
void PrintItems(const std::vector<Item>& items, const char* fileChoice, std::ostream& out) {
  for (const Item& item : items) {
    const char* option = OptionOf(item.Family);
    const bool numbered = option != nullptr && std::string(option) != "--apps";
    out << (numbered ? std::string(option) + " " + std::to_string(item.Index)
                     : std::string(option != nullptr ? option : fileChoice))
        << '\t' << item.Text << '\n';
  }
}

} // namespace

const std::vector<TInputDeviceItem>& TDeviceLists::Inputs() {
  Enumerate();
  return inputs;
}

const std::vector<TOutputDeviceItem>& TDeviceLists::Outputs() {
  Enumerate();
  return outputs;
}

const std::shared_ptr<TSoundServices>& TDeviceLists::Services() {
  Enumerate();
  return services;
}

TSoundResult TDeviceLists::ServerStatus() {
  Enumerate();
  return SoundServerStatus(services);
}

void TDeviceLists::Enumerate() {
  if (!services) {
    services = std::make_shared<TPulseSoundServices>();
    inputs = InputDeviceItems(services, WaveInDeviceNames(), graph);
    outputs = OutputDeviceItems(services, WaveOutDeviceNames(), graph);
  }
}

std::unique_ptr<TRecordingDevice> MakeInput(const TDeviceChoice& choice, TDeviceLists& devices,
                                            const std::optional<int>& inFormat, bool makeDefault) {
  if (choice.Family == TDeviceFamily::File) {
    auto reader = std::make_unique<TWAVEFileRecordingDevice>();
    reader->SetFileName(choice.FileName);
    return reader;
  }
  if (choice.Family == TDeviceFamily::Apps) {
    devices.RequireServer(TInputFamily::Apps);
    auto device = std::make_unique<TAppsRecordingDevice>(devices.Services());
    device->SetDescription(choice.FileName);
    device->SetMakeDefault(makeDefault);
    device->Buffer().Format() = FormatTable[inFormat.value_or(31)];
    return device;
  }
  if (choice.Family == TDeviceFamily::Ring) {
    devices.RequireServer(TInputFamily::RingCapture);
  } else if (choice.Family == TDeviceFamily::Graph) {
    devices.RequireGraph(TInputFamily::GraphCapture);
  }
  const auto& item =
      choice.Family == TDeviceFamily::Ring
          ? FindItem(devices.Inputs(), TInputFamily::RingCapture, choice.Index, "--capture")
      : choice.Family == TDeviceFamily::Graph
          ? FindItem(devices.Inputs(), TInputFamily::GraphCapture, choice.Index, "--pw-capture")
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
  } else if (choice.Family == TDeviceFamily::Graph) {
    devices.RequireGraph(TOutputFamily::GraphPlayback);
  }
  const auto& item =
      choice.Family == TDeviceFamily::Ring
          ? FindItem(devices.Outputs(), TOutputFamily::RingPlayback, choice.Index, "--play")
      : choice.Family == TDeviceFamily::Graph
          ? FindItem(devices.Outputs(), TOutputFamily::GraphPlayback, choice.Index, "--pw-play")
          : FindItem(devices.Outputs(), TOutputFamily::WaveOut, choice.Index, "--wave-out");
  return item.Factory();
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
