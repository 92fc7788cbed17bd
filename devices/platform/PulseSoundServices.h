// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The sound services on a PulseAudio server (or PipeWire's pulse server). Each sound object holds its
// own connection (a threaded main loop and a context). A ring lives in Sonolab's memory; its stream,
// in the ring's exact format, is fed (playback) or emptied (capture) by the main loop's thread as the
// server asks, which advances the ring position (TRingCursor) and signals the event of each slot whose
// last byte the position passes. Playback hands the server only what the device committed since the
// position last passed, silence otherwise. The server keeps little buffered (40 ms for playback, 5 ms
// fragments for capture), so the write cursor, the first byte not yet handed to the server, stays
// close to the play cursor. The playback stream has no prebuffer: when the server runs dry it plays
// silence and keeps its clock, so nothing after is delayed. Each time it runs dry counts a dropout
// and lets it hold 20 ms more, up to 100 ms (the cursors report the growth); a drain hands over what
// was committed and then waits for the server to play it out. The main loop's thread of a sound
// object asks for real-time scheduling (RealtimeScheduling.h).
//
// Enumeration lists the sinks (playback) and sources (capture, monitors included) in the server's
// order: the description as the text, the sink or source name as the identifier; an identifier of
// none opens the server's default.
//
// The virtual sink (LeaseAppsSink) is a module-null-sink, on PulseAudio and on PipeWire's pulse server
// alike, recording in its properties the default it replaced. A lease made where a sink of that name
// is left by a killed run (no Sonolab capture of its monitor in a live process) first gives that
// default back, moves the sink's streams there and removes it. With MakeDefault the sink becomes the
// default and the streams on the old default (Sonolab's own excepted) move to it; the last lease gives
// both back. The leases of this services object are counted here; another process's by its captures.
//
// Threads: a ring's calls come from the worker and the window thread and take the main loop's lock;
// Lock holds that lock until Unlock, so the pump never touches the bytes being copied. When the
// stream or the server fails, the pump thread fails the ring's event set, which wakes the waiter.

#include "devices/platform/SoundServices.h"

#include <optional>
#include <string>

class TPulseSoundServices : public TSoundServices {
public:
  // server: a server address as PULSE_SERVER takes it; none means the default server.
  explicit TPulseSoundServices(std::optional<std::string> server = std::nullopt);

  std::vector<TSoundDeviceInfo> EnumeratePlayback() override;
  std::vector<TSoundDeviceInfo> EnumerateCapture() override;
  TSoundResult CreatePlayback(const std::optional<std::string>& deviceId,
                              std::unique_ptr<TSoundPlayback>& playback) override;
  TSoundResult CreateCapture(const std::optional<std::string>& deviceId,
                             std::unique_ptr<TSoundCapture>& capture) override;
  TSoundResult CheckServer() override;

  bool OffersAppsSink() const override { return true; }
  TSoundResult LeaseAppsSink(const TAppsSinkRequest& request,
                             std::unique_ptr<TAppsSinkLease>& lease) override;

  // Whether a server answers at all.
  bool ServerReachable() const;

  struct TAppsLeases {
    int Count = 0; // leases of this object alive (window thread, or the command line's)
  };

private:
  std::optional<std::string> server;
  std::shared_ptr<TAppsLeases> appsLeases = std::make_shared<TAppsLeases>();
};
