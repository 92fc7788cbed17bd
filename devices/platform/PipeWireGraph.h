// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The PipeWire graph as the ring devices' native back-end. A stream is a node of the graph in the
// device's exact format (the graph's adapter converts format, channels and rate), linked by the
// session manager to the node the user chose and to no other (it is not moved when that node goes),
// asking the graph for a quantum of the set-up's block (node.latency = block/rate). Its process
// callback runs on the data thread of the stream's own connection and moves one cycle between the
// graph's buffer and a lock-free ring (GraphRing.h), then rings the doorbell: capture hands each
// cycle to the worker at once; playback takes what the worker wrote for the next cycle.
//
// The data thread is named "sonolab-pw-data" and asks for real-time scheduling like every sound
// thread (RealtimeScheduling.h); the connection's own thread "sonolab-pw-loop" carries the daemon's
// messages. A cycle the graph skipped (its clock jumped) or that came after the next one was due
// counts an xrun; a capture stream stores a skipped cycle as silence of its length.
//
// Faults reach the device as a result with a Russian text: the daemon gone, the chosen node gone
// from the graph, or the stream refused or ended by the graph. A graph that stops cycling (suspended)
// is what the devices find when no cycle comes within a bound.
//
// Nodes are listed by their id: capture offers every Audio/Source node and the monitor of every
// Audio/Sink node, playback every Audio/Sink node; the node's description is the text, its name the
// identifier. A daemon that does not answer lists nothing.
//
// Threads: the graph and a stream's SetActive from the window thread or the worker; the rest as
// GraphRing.h says. Destroying a stream stops its threads first.

#include "devices/platform/GraphRing.h"
#include "devices/platform/SoundServices.h"
#include "dsp/WaveFormat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TGraphNode {
  std::string Description;
  std::string Name;     // node.name: what the stream asks to be linked to
  bool Monitor = false; // capture from a sink's monitor
};

// No cycle within this while a stream runs: the graph is taken as suspended.
inline constexpr std::chrono::seconds GraphStallLimit{3};

class TGraphStream {
public:
  struct TImpl;
  explicit TGraphStream(std::unique_ptr<TImpl> impl);
  ~TGraphStream();
  TGraphStream(const TGraphStream&) = delete;
  TGraphStream& operator=(const TGraphStream&) = delete;

  // One of the two, by direction.
  TGraphPlaybackRing* Playback();
  TGraphCaptureRing* Capture();
  TDoorbell& Doorbell();

  // Whether the data thread moves sound (false: playback hands out silence, capture drops what comes)
  // and whether the node runs in the graph.
  TSoundResult SetActive(bool on);
  // A fault since the stream was made: SoundOk while there is none.
  TSoundResult Fault() const;
  bool Faulted() const;
  // Process calls so far, the bytes of the last one in the stream's format, xruns counted.
  uint64_t Cycles() const;
  uint32_t CycleBytes() const;
  uint64_t Xruns() const;
  // The graph's quantum in its own frames and its rate, as of the last cycle (0 before one).
  uint32_t QuantumFrames() const;
  uint32_t GraphRate() const;

private:
  std::unique_ptr<TImpl> impl;
};

class TPipeWireGraph {
public:
  // remote: the daemon's socket (a name in the runtime folder, or a path); none: the default one.
  explicit TPipeWireGraph(std::optional<std::string> remote = std::nullopt);

  // Ok when a daemon answers, or why not ("pw_context_connect: ...").
  TSoundResult Check() const;
  std::vector<TGraphNode> CaptureNodes() const;
  std::vector<TGraphNode> PlaybackNodes() const;

  // A stream to or from `node` in `format` (8 or 16 bits, mono or stereo), asking for a quantum of
  // blockFrames, with a ring of ringBytes; inactive until SetActive. Failures name the call.
  TSoundResult OpenCapture(const TGraphNode& node, const TWaveFormat& format, uint32_t blockFrames,
                           uint32_t ringBytes, std::unique_ptr<TGraphStream>& stream) const;
  TSoundResult OpenPlayback(const TGraphNode& node, const TWaveFormat& format, uint32_t blockFrames,
                            uint32_t ringBytes, std::unique_ptr<TGraphStream>& stream) const;

private:
  std::optional<std::string> remote;
};
