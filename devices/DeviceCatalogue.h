// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the device dialog and the command line offer: every input and every output, in the dialog's
// order ("Звук приложений" first among the inputs where the sound services can make the desktop's
// virtual sink, then ring devices " (PulseAudio)", then the PipeWire graph's nodes " (PipeWire)", then
// wave-audio devices " (ALSA)", then "Файл формата WAVE"), each with a factory that builds a fresh device
// object with the default format.
//
// Threads: the window thread (or the command line's only thread). Enumeration asks the sound
// server, the PipeWire daemon and ALSA each time; a server that does not answer lists no ring
// devices, and SoundServerStatus tells why; a PipeWire daemon that does not answer (or no graph
// given) lists no PipeWire devices, and nothing is said about it.

#include "devices/VirtDevs.h"
#include "devices/platform/PipeWireGraph.h"
#include "devices/platform/SoundServices.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The virtual sink itself and its monitor are never listed, as a ring or a PipeWire device: no set-up
// plays into the sink that feeds it, and the device numbers stay as they were while it exists.
enum class TInputFamily { Apps, RingCapture, GraphCapture, WaveIn, File };
enum class TOutputFamily { RingPlayback, GraphPlayback, WaveOut, File };

struct TInputDeviceItem {
  std::string Text;
  TInputFamily Family = TInputFamily::File;
  int Index = 0; // position within its family: the enumeration's order, the wave-audio device number
  std::function<std::unique_ptr<TRecordingDevice>()> Factory;
};

struct TOutputDeviceItem {
  std::string Text;
  TOutputFamily Family = TOutputFamily::File;
  int Index = 0;
  std::function<std::unique_ptr<TPlaybackDevice>()> Factory;
};

inline constexpr const char* WaveFileItemText = "Файл формата WAVE";
inline constexpr const char* AppsItemText = "Звук приложений";

std::vector<TInputDeviceItem> InputDeviceItems(const std::shared_ptr<TSoundServices>& services);
std::vector<TOutputDeviceItem> OutputDeviceItems(const std::shared_ptr<TSoundServices>& services);

// Whether the sound server answers: Ok, or what a ring device's Open would report (SoundNoDriver and
// the server's own text, "pa_context_connect: Connection refused"). No services: SoundNoDriver.
TSoundResult SoundServerStatus(const std::shared_ptr<TSoundServices>& services);
// Raises the error that a ring capture (or playback) device's Open raises on that failure (a PipeWire
// daemon's status too): "DirectSoundCaptureCreate (pa_context_connect: Connection refused)", "No sound driver
// is available for use", 0x88780078.
[[noreturn]] void RaiseSoundServerError(const TSoundResult& status, TInputFamily);
[[noreturn]] void RaiseSoundServerError(const TSoundResult& status, TOutputFamily);

// The same with the wave-audio product names given, in device-number order, and the PipeWire graph
// whose nodes are offered (none: no PipeWire devices).
std::vector<TInputDeviceItem> InputDeviceItems(const std::shared_ptr<TSoundServices>& services,
                                               const std::vector<std::string>& waveInNames,
                                               const std::shared_ptr<const TPipeWireGraph>& graph = nullptr);
std::vector<TOutputDeviceItem>
OutputDeviceItems(const std::shared_ptr<TSoundServices>& services,
                  const std::vector<std::string>& waveOutNames,
                  const std::shared_ptr<const TPipeWireGraph>& graph = nullptr);
