// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPluginHost: the LV2 plug-ins installed on the machine, found with lilv, and what runs them.
//
// The first look (Plugins, Find) loads every bundle on the LV2 search path and reads each plug-in's
// ports once; it then knows, for every plug-in, whether it can run in the chain and, if not, why:
// only audio effects with 1 or 2 audio inputs and 1 or 2 audio outputs, at least one control input,
// no port that must be connected but that Sonolab cannot feed (CV, events), and no required feature
// beyond those given here (URID map and unmap, options with the block bounds and the sample rate,
// bounded block lengths) are offered.
//
// An instance is made, activated and freed off the worker (the slot's user-interface thread); the
// worker only calls Run. The URID map may be called from any thread (it takes its own lock).
//
// Threads: any thread; the lilv world is used under the host's lock. The host lives as long as the
// last slot or instance made from it (they hold it).

#include "dsp/ParameterDescription.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One control input of a plug-in, as its data describe it.
struct TControlPort {
  uint32_t Index = 0;
  std::string Symbol; // the parameter's name in files and on the command line
  std::string Name;
  TUnit Unit = TUnit::None;
  float Minimum = 0.0f; // meaningful where Has... says so
  float Maximum = 0.0f;
  float Default = 0.0f;
  bool HasMinimum = false;
  bool HasMaximum = false;
  bool HasDefault = false;
  bool Integer = false;
  bool Toggled = false;
  bool Enumeration = false;
  bool Logarithmic = false;
  bool RateRelative = false; // the bounds and default are fractions of the sample rate
  struct TScalePoint {
    float Value = 0.0f;
    std::string Label;
  };
  std::vector<TScalePoint> ScalePoints; // by value
};

struct TPluginInfo {
  std::string Uri;
  std::string Name;
  std::string
      ClassName; // "Эквалайзер", "Компрессор", ...; the plug-in's own word for classes Sonolab does not name
  uint32_t PortCount = 0;
  std::vector<uint32_t> AudioInputs; // port indices, in port order
  std::vector<uint32_t> AudioOutputs;
  std::vector<TControlPort> Controls;   // the control inputs, in port order
  std::vector<uint32_t> ControlOutputs; // connected to scratch values
  int64_t LatencyPort = -1;             // the control output that reports the latency in frames
  // Why the plug-in cannot run in the chain (Russian, one line); empty when it can.
  std::string Refusal;

  bool Offered() const { return Refusal.empty(); }
  // One instance per channel: one audio input and one output.
  bool Mono() const { return AudioInputs.size() == 1 && AudioOutputs.size() == 1; }
};

// "Модуль LV2 не установлен: URI"
std::string MissingPluginMessage(std::string_view uri);
// "Модуль LV2 «NAME» (URI) не подходит: REASON"
std::string RefusedPluginMessage(const TPluginInfo& plugin);

class TPluginHost;

// One running instance of a plug-in: made by the host, activated, its ports connected by the owner.
class TPluginInstance {
public:
  ~TPluginInstance(); // deactivates and frees it, off the worker
  TPluginInstance(const TPluginInstance&) = delete;
  TPluginInstance& operator=(const TPluginInstance&) = delete;

  // Before Activate, and never while Run runs.
  void ConnectPort(uint32_t index, void* data);
  void Activate();
  // The one call the worker makes: frames at most MaxRunFrames.
  void Run(uint32_t frames);

  struct TImpl;

private:
  friend class TPluginHost;
  explicit TPluginInstance(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> impl;
};

class TPluginHost {
public:
  // The longest run a plug-in is given (the maximum block length it is told of); longer blocks go
  // through in pieces.
  static constexpr uint32_t MaxRunFrames = 4096;

  // The plug-ins on `searchPath` (folders separated by ':'); empty: LV2_PATH, or the system's folders.
  explicit TPluginHost(std::string searchPath = {});
  ~TPluginHost();
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;

  // Every plug-in found, offered or not, by name.
  const std::vector<std::shared_ptr<const TPluginInfo>>& Plugins();
  // The plug-in of a URI; null if none is installed.
  std::shared_ptr<const TPluginInfo> Find(std::string_view uri);

  // A new instance at a sample rate, not yet activated; null if the plug-in fails to make one.
  std::unique_ptr<TPluginInstance> Instantiate(const TPluginInfo& plugin, double sampleRate);

  struct TImpl;

private:
  std::shared_ptr<TImpl> impl;
};
