// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ProcessingSetUp.h"

TProcessingSetUp::TProcessingSetUp(std::unique_ptr<TRecordingDevice> device)
    : blockChoice(device->BlockChoice()), input(std::move(device)) {
  input->Open(); // a throw leaves the constructor: the member releases the input, which closes it
  chain = std::make_unique<TFilterList>(static_cast<int32_t>(input->Buffer().Format().nSamplesPerSec));
}

void TProcessingSetUp::OpenOutputs(std::unique_ptr<TPlaybackDevsList> list, TProcessingNotify& notify) {
  outputs = list ? std::move(list) : std::make_unique<TPlaybackDevsList>();
  try {
    // A chosen block is the same number of frames on every output, whatever its rate (a rate converter
    // sizes itself for both ends); the rule gives each output its own rate's block, as ever.
    for (int i = 0; i < outputs->Count(); ++i) {
      if (TPlaybackDevice* output = outputs->Item(i)) {
        output->SetBlockFrames(blockChoice);
        if (!output->FormatChosen()) {
          output->Buffer().Format() = input->Buffer().Format();
        }
      }
    }
    outputs->OpenAll();
  } catch (...) {
    outputs.reset(); // closes every output, the ones opened and the one that failed part way
    throw;
  }
  worker = std::make_unique<TProcessingThread>(*chain, *outputs, *input, notify);
}

TProcessingSetUp::~TProcessingSetUp() {
  [[maybe_unused]] const std::vector<TDSPException> unreported = Teardown();
}

void TProcessingSetUp::Abort() {
  if (worker) {
    worker->Abort();
  }
}

std::vector<TDSPException> TProcessingSetUp::Teardown() {
  if (worker) {
    worker->Abort();
    worker->WaitFor();
  }
  worker.reset();
  input.reset();
  std::vector<TDSPException> failures;
  if (outputs) {
    failures = outputs->CloseAll();
  }
  outputs.reset();
  chain.reset();
  return failures;
}
