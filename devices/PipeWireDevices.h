// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ring devices on the PipeWire graph's own cycle (kinds 0 and 3, as the other ring devices): a ring
// of 16 blocks between the worker and a stream of the graph (PipeWireGraph.h), which asks the graph
// for a quantum of the set-up's block.
//
// Capture: each Read takes the next block as soon as the graph's cycle has completed it. A worker a
// whole ring behind resynchronises to the newest whole block, counts a dropout and reports the input
// lost (what the ring could not take and what it skipped), so that a recording keeps wall time.
//
// Playback: Start returns once the graph has run a cycle of the stream; the first Write lands where
// the graph takes its next cycle, two cycles later when blocks and cycles do not divide each other
// (another rate, a quantum the block does not fit); later blocks follow each other. A Write that would put
// more than one cycle beyond the block under way waits for the graph, so that a file input plays at the
// graph's pace. A block whose place the graph has already passed (it played silence there and counted
// the dropout) is dropped and the next keeps its place, so that the delay stays what it was; after a
// ring of such blocks in a row the lead is found afresh. Drain waits until the graph has taken everything
// written and played it out.
//
// Dropouts: runs of the graph past what was written, a capture ring overrun, and the graph's xruns.
// Faults (the daemon gone, the node gone, no cycle for GraphStallLimit while running) raise with the
// ring devices' call names and the back-end's text. Stop wakes a waiting Read or Write, which returns
// without a block; neither waits again until the next Start.
//
// Threads: Read/Write/Drain on the worker; Open, Close on the window thread; Start/Stop on either,
// Stop possibly while the worker waits. Dropouts on any thread.

#include "devices/VirtDevs.h"
#include "devices/platform/PipeWireGraph.h"

#include <atomic>
#include <memory>

class TPipeWirePlaybackDevice : public TPlaybackDevice {
public:
  TPipeWirePlaybackDevice(std::shared_ptr<const TPipeWireGraph> graph, TGraphNode node);
  ~TPipeWirePlaybackDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Write() override;
  bool Drain(const std::atomic<bool>& cancel) override;
  uint64_t Dropouts() const override { return dropouts.load(); }

  const TGraphNode& Node() const { return node; }
  int32_t RingSize() const { return ringSize; }
  // The graph's quantum as of the last cycle, in its own frames (0 before one).
  uint32_t QuantumFrames() const;

private:
  std::shared_ptr<const TPipeWireGraph> graph;
  TGraphNode node;
  std::unique_ptr<TGraphStream> stream;
  int32_t ringSize = 0;
  std::atomic<bool> playing{false};
  bool synchronised = false;  // worker: false until the first Write after a start has found its place
  bool written = false;       // worker: a block was written since the start
  uint64_t writeAt = 0;       // worker: where the next block goes
  int lateInARow = 0;         // worker: blocks whose place the graph had passed, one after another
  uint64_t cyclesAtStart = 0; // the graph's cycles when the device last started
  std::atomic<uint64_t> dropouts{0};
};

class TPipeWireRecordingDevice : public TRecordingDevice {
public:
  TPipeWireRecordingDevice(std::shared_ptr<const TPipeWireGraph> graph, TGraphNode node);
  ~TPipeWireRecordingDevice() override;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Read() override;
  int64_t LostFramesBeforeBlock() const override { return lostFrames; }
  uint64_t Dropouts() const override { return dropouts.load(); }

  const TGraphNode& Node() const { return node; }
  int32_t RingSize() const { return ringSize; }
  uint32_t QuantumFrames() const;

private:
  std::shared_ptr<const TPipeWireGraph> graph;
  TGraphNode node;
  std::unique_ptr<TGraphStream> stream;
  int32_t ringSize = 0;
  std::atomic<bool> capturing{false};
  bool fresh = false; // the next Read leaves what was captured before the start
  int64_t lostFrames = 0;
  uint64_t overruns = 0; // worker: times it fell a whole ring behind
  std::atomic<uint64_t> dropouts{0};
};
