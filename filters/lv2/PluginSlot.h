// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPluginSlot: an installed LV2 plug-in as a filter of the chain.
//
// Its type is made from the plug-in's data when the slot is: the descriptor (the plug-in's name, the
// caption "Параметры модуля «NAME»", the described dialog) and one parameter description per control
// input, named by the port's symbol, with its unit, range (a rate-relative port's scaled to the rate),
// default, and whole numbers, a switch (toggled) or a choice (enumeration) or a logarithmic bar where
// the port says so. So the described dialog, the command line and the files handle it as any type.
//
// Sound: samples are handed to the plug-in at full scale 1.0 (the chain's integer scale divided by
// 2^15, or 2^7 for 8 bits; exact) and back. A mono plug-in runs one instance per channel. Any other
// joins the channels of a stereo block: two inputs take left and right, one input their mean; two
// outputs give left and right, one output goes to both. On a mono block the channel goes to every
// input and the mean of the outputs comes back. Blocks longer than TPluginHost::MaxRunFrames go in
// pieces. Edits are click-free where the plug-in smooths its controls itself: the new control values
// are read at the next run.
//
// Settings record (a kind of its own, type PluginSlotType): Type int32, then the URI's length in
// bytes (int32) and its UTF-8 bytes, the number of controls n (int32), and n times the symbol's
// length (int32), its bytes and the value (IEEE-754 double), in port order. Loading takes the
// controls in any order; a control the record leaves out takes its default.
//
// Threads: the worker calls Process and ProcessJoined (each channel's instance on one thread at a
// time; the lock the chain holds around them). Everything else runs on the user-interface thread (the
// command line's main thread): instances are made and activated there, off the filter's lock, and
// handed over whole under it (ClearState, SetSampleRate); Update copies the control values to the
// ports under it. The worker's only call into the plug-in is run().

#include "dsp/Filter.h"
#include "dsp/FilterDescriptor.h"
#include "dsp/FilterList.h"
#include "filters/lv2/PluginHost.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The Type of a plug-in slot's settings record.
inline constexpr int32_t PluginSlotType = 100;

class TPluginSlot final : public TFilter {
public:
  // A slot running the plug-in at the rate, its controls at their defaults, instantiated and
  // activated. Raises TFilterError with RefusedPluginMessage for a plug-in that is not offered, or a
  // message naming the plug-in and the rate when it cannot be instantiated.
  TPluginSlot(std::shared_ptr<TPluginHost> host, std::shared_ptr<const TPluginInfo> plugin,
              int32_t sampleRate);
  // A slot for a settings record: it holds no plug-in (and lets the sound through) until Load has read
  // one, which it then finds among the installed ones.
  TPluginSlot(std::shared_ptr<TPluginHost> host, int32_t sampleRate);
  ~TPluginSlot() override;

  void Process(ChannelBlock& block, int channel) override;
  bool JoinsChannels() const override;
  void ProcessJoined(ChannelBlock& left, ChannelBlock& right) override;
  // Copies the control values to the plug-in's ports; called with the lock held.
  void Update() override;
  // Fresh instances, made and activated off the lock and handed over under it: the plug-in starts
  // again from silence.
  void ClearState() override;
  void SetSampleRate(int32_t rate) override;
  void Save(TByteWriter& out) override;
  // A record of another plug-in than this slot's, or a malformed one: MsgBadFileFormat. A plug-in
  // that is not installed: MissingPluginMessage; not offered: RefusedPluginMessage; a symbol the
  // plug-in does not have: "Модуль LV2 «NAME» не имеет параметра «SYMBOL»". The slot keeps
  // everything it had.
  void Load(TByteReader& in) override;
  std::unique_ptr<TFilter> NewOfType() const override;
  // The latency the plug-in reports at the current values, in frames (run once on silence in an
  // instance of its own); nothing for a plug-in that reports none.
  std::optional<int32_t> ReportedLatency() const override;

  // Null for a slot that has not read its record yet.
  const TPluginInfo* Plugin() const { return plugin.get(); }

  struct TSlotType;
  struct TRunners;

private:
  // Takes the plug-in: builds the type at the current rate and describes the parameters (values at
  // their defaults), then makes the instances. Raises TFilterError and leaves the slot as it was.
  void Bind(std::shared_ptr<const TPluginInfo> chosen);
  // The instances the slot runs (two for a mono plug-in, else one), their control inputs read from
  // `controls` (by port index). Raises TFilterError when the plug-in makes none.
  std::unique_ptr<TRunners> MakeRunners(float* controls) const;
  // Puts new instances in place under the lock; the old ones are freed after it.
  void HandOver(std::unique_ptr<TRunners> fresh);
  // Runs instance `runner` over a block: a mono block (right null) or both channels of a stereo one.
  void Run(size_t runner, float* left, float* right, int32_t frames, float scale);

  std::shared_ptr<TPluginHost> host;
  std::shared_ptr<const TPluginInfo> plugin;
  std::shared_ptr<const TSlotType> slotType;
  struct alignas(8) TCell {
    unsigned char Bytes[8];
  };
  std::vector<TCell> values; // the parameter storage, one cell per control, in port order
  std::vector<float> ports;  // every port's control value by port index: what the instances read
  std::unique_ptr<TRunners> runners;
  mutable std::vector<float> latencyAt; // the controls the cached latency was measured at
  mutable int32_t latency = 0;
};

// The factory of chain and filter records that knows plug-in slots: the catalogue's types, and for
// PluginSlotType a slot that reads its plug-in from the record (nothing without a host).
TFilterFactory PluginAwareFactory(std::shared_ptr<TPluginHost> host);

// A new slot of the installed plug-in of `uri`. Raises TFilterError with MissingPluginMessage or
// RefusedPluginMessage.
std::unique_ptr<TPluginSlot> CreatePluginSlot(const std::shared_ptr<TPluginHost>& host,
                                              const std::string& uri, int32_t sampleRate);
