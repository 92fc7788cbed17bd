// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TProcessingSetUp: one processing set-up as the windows and the command line both wire it. The input
// is opened first (it fixes the sample rate) and the chain is made at its rate; then every output is
// opened and the worker is made, suspended. A TDSPException while opening releases what the step was
// given and goes on to the caller. (The command line runs its chain actions between the two steps, so
// that a refused action leaves no output file behind.)
//
// An output whose format was never chosen (SetFormat) takes the input's: a file input's own format, or
// the one chosen for a capture device. Nothing is converted where nothing was asked for.
//
// The end: Abort stops the devices at once (a Read or Write that waits for a device's clock returns)
// and the worker ends after the pass under way without playing out. Teardown, also run by the
// destructor, aborts a worker that still runs, waits for it, then releases the input, the outputs (the
// writer thread writes what it holds and completes every file first) and the chain, in that order, and
// hands back the errors of the outputs whose files could not be completed, for the caller to report.
// Nothing of it waits for a device's drain or for the user-interface thread, so a teardown takes one
// pass and the writing of what the writer holds (at most two seconds of sound).
//
// Threads: the user-interface thread (the command line's main thread) for everything here; the worker
// reaches its window only through TProcessingNotify.

#include "devices/PlaybackDevsList.h"
#include "devices/VirtDevs.h"
#include "dsp/FilterList.h"
#include "engine/ProcessingThread.h"

#include <memory>
#include <vector>

class TProcessingSetUp {
public:
  // Opens the input and makes the chain at its sample rate; a throw releases the input. The block the
  // input was given (SetBlockFrames) is the set-up's block.
  explicit TProcessingSetUp(std::unique_ptr<TRecordingDevice> input);
  // Takes and opens the outputs (none: an empty list) with the set-up's block, those without a chosen
  // format in the input's, and makes the worker,
  // suspended, reporting to `notify`, which must outlive the worker. A throw releases the outputs; the set-up
  // then has no worker and can only be torn down.
  void OpenOutputs(std::unique_ptr<TPlaybackDevsList> outputs, TProcessingNotify& notify);
  ~TProcessingSetUp();
  TProcessingSetUp(const TProcessingSetUp&) = delete;
  TProcessingSetUp& operator=(const TProcessingSetUp&) = delete;

  // The end without playing out; the worker is not waited for. Safe in any state, any number of times.
  void Abort();
  // Abort, wait for the worker, release the worker, the input, the outputs and the chain. Returns the
  // error record of each output whose close failed; nothing the second time.
  std::vector<TDSPException> Teardown();

  // Null once torn down; the worker also before OpenOutputs.
  TRecordingDevice* Input() const { return input.get(); }
  TPlaybackDevsList* Outputs() const { return outputs.get(); }
  TFilterList* Chain() const { return chain.get(); }
  TProcessingThread* Worker() const { return worker.get(); }
  // The block chosen for the set-up: 0 for the block-size rule.
  int32_t BlockChoice() const { return blockChoice; }

private:
  int32_t blockChoice = 0;
  std::unique_ptr<TRecordingDevice> input;
  std::unique_ptr<TPlaybackDevsList> outputs;
  std::unique_ptr<TFilterList> chain;
  std::unique_ptr<TProcessingThread> worker;
};
