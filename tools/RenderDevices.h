// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The devices a render's command line names: the device dialog's lists, asked for once per run and
// only when a device is named or listed; the input and the outputs made from the choices, a device
// by its family and its number in that family.
//
// Threads: the thread that runs the command.

#include "devices/DeviceCatalogue.h"
#include "devices/platform/PipeWireGraph.h"
#include "tools/RenderOptions.h"

#include <memory>
#include <optional>
#include <ostream>
#include <vector>

class TDeviceLists {
public:
  const std::vector<TInputDeviceItem>& Inputs();
  const std::vector<TOutputDeviceItem>& Outputs();
  // The sound server the ring devices and the virtual sink go through.
  const std::shared_ptr<TSoundServices>& Services();
  // Whether the sound server answers, with its own text when it does not.
  TSoundResult ServerStatus();
  // A ring device is named: with no server, that is the device layer's error, not a usage error.
  template <typename Family> void RequireServer(Family family) {
    const TSoundResult status = ServerStatus();
    if (status.Failed()) {
      RaiseSoundServerError(status, family);
    }
  }
  // The same for a PipeWire device, whose family is listed only when the daemon answers.
  template <typename Family> void RequireGraph(Family family) {
    const TSoundResult status = graph->Check();
    if (status.Failed()) {
      RaiseSoundServerError(status, family);
    }
  }

private:
  void Enumerate();

  std::shared_ptr<TSoundServices> services;
  const std::shared_ptr<const TPipeWireGraph> graph = std::make_shared<TPipeWireGraph>();
  std::vector<TInputDeviceItem> inputs;
  std::vector<TOutputDeviceItem> outputs;
};

// A file input reads the named file; a device input takes table entry `inFormat` (31 by default); the
// virtual sink's input is named by the choice and made the default with `makeDefault`.
// A device number that the lists do not hold raises TUsageError.
std::unique_ptr<TRecordingDevice> MakeInput(const TDeviceChoice& choice, TDeviceLists& devices,
                                            const std::optional<int>& inFormat, bool makeDefault = false);
// A file output of a name without a known ending writes `outType`.
std::unique_ptr<TPlaybackDevice> MakeOutput(const TDeviceChoice& choice, TDeviceLists& devices,
                                            TFileKind outType);

// The lists as the device dialog shows them, each line led by the option that chooses the device.
void PrintDeviceLists(TDeviceLists& devices, std::ostream& out);
