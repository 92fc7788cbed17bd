// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/DeviceCatalogue.h"

#include "devices/DirectSoundDevices.h"
#include "devices/PipeWireDevices.h"
#include "devices/WaveAudioDevices.h"
#include "devices/WaveFile.h"

namespace {
// The family suffix names the service a device goes through.
constexpr const char* RingSuffix = " (PulseAudio)";
constexpr const char* GraphSuffix = " (PipeWire)";
constexpr const char* WaveAudioSuffix = " (ALSA)";

bool IsAppsSink(const std::optional<std::string>& id) {
  return id && (*id == AppsSinkName || *id == AppsMonitorName);
}
} // namespace

std::vector<TInputDeviceItem> InputDeviceItems(const std::shared_ptr<TSoundServices>& services,
                                               const std::vector<std::string>& waveInNames,
                                               const std::shared_ptr<const TPipeWireGraph>& graph) {
  std::vector<TInputDeviceItem> items;
  if (services && services->OffersAppsSink()) {
    items.push_back({AppsItemText, TInputFamily::Apps, 0, [services]() -> std::unique_ptr<TRecordingDevice> {
                       return std::make_unique<TAppsRecordingDevice>(services);
                     }});
  }
  if (services) {
    int index = 0;
    for (const TSoundDeviceInfo& device : services->EnumerateCapture()) {
      if (IsAppsSink(device.Id)) {
        continue;
      }
      items.push_back({device.Description + RingSuffix, TInputFamily::RingCapture, index++,
                       [services, id = device.Id]() -> std::unique_ptr<TRecordingDevice> {
                         return std::make_unique<TDirectSoundRecordingDevice>(services, id);
                       }});
    }
  }
  if (graph) {
    int index = 0;
    for (const TGraphNode& node : graph->CaptureNodes()) {
      if (node.Name == AppsSinkName) {
        continue;
      }
      items.push_back({node.Description + GraphSuffix, TInputFamily::GraphCapture, index++,
                       [graph, node]() -> std::unique_ptr<TRecordingDevice> {
                         return std::make_unique<TPipeWireRecordingDevice>(graph, node);
                       }});
    }
  }
  for (size_t number = 0; number < waveInNames.size(); ++number) {
    items.push_back({waveInNames[number] + WaveAudioSuffix, TInputFamily::WaveIn, static_cast<int>(number),
                     [number]() -> std::unique_ptr<TRecordingDevice> {
                       return std::make_unique<TWAVEAudioRecordingDevice>(static_cast<uint32_t>(number));
                     }});
  }
  items.push_back({WaveFileItemText, TInputFamily::File, 0, []() -> std::unique_ptr<TRecordingDevice> {
                     return std::make_unique<TWAVEFileRecordingDevice>();
                   }});
  return items;
}

std::vector<TOutputDeviceItem> OutputDeviceItems(const std::shared_ptr<TSoundServices>& services,
                                                 const std::vector<std::string>& waveOutNames,
                                                 const std::shared_ptr<const TPipeWireGraph>& graph) {
  std::vector<TOutputDeviceItem> items;
  if (services) {
    int index = 0;
    for (const TSoundDeviceInfo& device : services->EnumeratePlayback()) {
      if (IsAppsSink(device.Id)) {
        continue;
      }
      items.push_back({device.Description + RingSuffix, TOutputFamily::RingPlayback, index++,
                       [services, id = device.Id]() -> std::unique_ptr<TPlaybackDevice> {
                         return std::make_unique<TDirectSoundPlaybackDevice>(services, id);
                       }});
    }
  }
  if (graph) {
    int index = 0;
    for (const TGraphNode& node : graph->PlaybackNodes()) {
      if (node.Name == AppsSinkName) {
        continue;
      }
      items.push_back({node.Description + GraphSuffix, TOutputFamily::GraphPlayback, index++,
                       [graph, node]() -> std::unique_ptr<TPlaybackDevice> {
                         return std::make_unique<TPipeWirePlaybackDevice>(graph, node);
                       }});
    }
  }
  for (size_t number = 0; number < waveOutNames.size(); ++number) {
    items.push_back({waveOutNames[number] + WaveAudioSuffix, TOutputFamily::WaveOut, static_cast<int>(number),
                     [number]() -> std::unique_ptr<TPlaybackDevice> {
                       return std::make_unique<TWAVEAudioPlaybackDevice>(static_cast<uint32_t>(number));
                     }});
  }
  items.push_back({WaveFileItemText, TOutputFamily::File, 0, []() -> std::unique_ptr<TPlaybackDevice> {
                     return std::make_unique<TWAVEFilePlaybackDevice>();
                   }});
  return items;
}

TSoundResult SoundServerStatus(const std::shared_ptr<TSoundServices>& services) {
  if (!services) {
    return {SoundNoDriver, ""};
  }
  return services->CheckServer();
}

namespace {
[[noreturn]] void RaiseForCall(const TSoundResult& status, const char* call) {
  const int32_t code = status.Failed() ? status.Code : SoundNoDriver;
  RaiseResultError(static_cast<uint32_t>(code), __LINE__,
                   status.Text.empty() ? std::string(call) : std::string(call) + " (" + status.Text + ")");
}
} // namespace

void RaiseSoundServerError(const TSoundResult& status, TInputFamily) {
  RaiseForCall(status, "DirectSoundCaptureCreate");
}

void RaiseSoundServerError(const TSoundResult& status, TOutputFamily) {
  RaiseForCall(status, "DirectSoundCreate");
}

std::vector<TInputDeviceItem> InputDeviceItems(const std::shared_ptr<TSoundServices>& services) {
  return InputDeviceItems(services, WaveInDeviceNames());
}

std::vector<TOutputDeviceItem> OutputDeviceItems(const std::shared_ptr<TSoundServices>& services) {
  return OutputDeviceItems(services, WaveOutDeviceNames());
}
