// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The sound services under the ring devices: enumeration, a sound (or capture) object per device,
// and a looping ring of bytes in the device's format with 16 slot notifications, lockable byte
// ranges (up to two regions when a range wraps), play and write cursors, a lost flag with Restore,
// play, stop and rewind (playback) and start and stop (capture).
//
// Positions are counted in bytes since the ring was created or rewound and never wrap; the offset in
// the ring is the position modulo the ring's size.
//
// Every call returns a TSoundResult: Code 0 on success, a negative 32-bit result code on failure
// (SoundNoDriver when no server is reachable, SoundBadFormat for a refused format, SoundFail for
// anything else) with the back-end's own text, which the devices put after the call's name.
//
// Threads: the devices call from the worker and the window thread, never at the same time on one
// ring except Stop/Start against a wait on the events. The back-end signals the events from its own
// thread; when the server goes away it fails the ring's event set so that a waiter wakes.

#include "devices/platform/EventSet.h"
#include "dsp/WaveFormat.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr int32_t SoundOk = 0;
inline constexpr int32_t SoundFail = static_cast<int32_t>(0x80004005u);      // E_FAIL
inline constexpr int32_t SoundBadFormat = static_cast<int32_t>(0x88780064u); // DSERR_BADFORMAT
inline constexpr int32_t SoundNoDriver = static_cast<int32_t>(0x88780078u);  // DSERR_NODRIVER

struct TSoundResult {
  int32_t Code = SoundOk;
  std::string Text; // e.g. "pa_stream_connect_playback: Connection refused"; empty on success

  bool Failed() const { return Code < 0; }
  static TSoundResult Ok() { return {}; }
};

// One device of an enumeration: the description and the identifier; none means the default device.
struct TSoundDeviceInfo {
  std::string Description;
  std::optional<std::string> Id;
};

// Flags of the ring calls, with the values the devices pass.
inline constexpr uint32_t SoundPriorityLevel = 2;      // cooperative level: priority
inline constexpr uint32_t SoundBufferFlags = 0x8100;   // global focus + position notification
inline constexpr uint32_t SoundLockEntireBuffer = 0x2; // Lock ignores offset and length
inline constexpr uint32_t SoundPlayLooping = 0x1;      // Play and capture Start wrap around the ring
inline constexpr uint32_t SoundStatusPlaying = 0x1;    // GetStatus bits
inline constexpr uint32_t SoundStatusBufferLost = 0x2;
inline constexpr uint32_t SoundStatusLooping = 0x4;
inline constexpr uint32_t SoundStatusDrained = 0x100; // after BeginDrain: the server has played it all

// The last byte of a slot, and the event signalled when the position passes it.
struct TSoundNotifyPosition {
  uint32_t Offset = 0;
  int EventIndex = 0;
};
using TSoundNotifyPositions = std::array<TSoundNotifyPosition, TEventSet::Count>;

// A locked byte range: the first region, and a second one from the ring's start when it wraps.
struct TSoundLockedRegions {
  uint8_t* Region1 = nullptr;
  uint32_t Bytes1 = 0;
  uint8_t* Region2 = nullptr;
  uint32_t Bytes2 = 0;
};

// Where a ring stands, and the dropouts it has seen since it was created.
struct TSoundCursors {
  uint64_t Play = 0;  // playback: the first byte not yet heard; capture: the first byte not yet captured
  uint64_t Write = 0; // playback: the first byte that is safe to write; capture: as Play
  // Playback: runs of the play position past what was written, underflows the stream reported;
  // capture: overflows where the back-end learns of them (a PulseAudio record stream reports none;
  // the capture device counts a worker that fell a ring behind itself).
  uint64_t Dropouts = 0;
  // Playback: how many bytes more than at first the server may now hold ahead of the play position,
  // grown after underruns; the device takes them off its lead, so that the through-latency stays.
  uint64_t HeldGrowth = 0;
  // Playback: the bytes the server asks for at once, as it granted them (0: not known); the device
  // keeps its lead a block beyond one such request.
  uint64_t Request = 0;
};

class TSoundRing {
public:
  virtual ~TSoundRing() = default;
  // Obtains the ring's notification interface.
  virtual TSoundResult QueryNotify() = 0;
  // Event EventIndex of `events` is signalled each time the position passes Offset. The event set
  // must outlive the ring; it is failed when the stream or the server fails.
  virtual TSoundResult SetNotificationPositions(const TSoundNotifyPositions& positions,
                                                TEventSet& events) = 0;
  virtual TSoundResult Lock(uint32_t offset, uint32_t bytes, uint32_t flags,
                            TSoundLockedRegions& regions) = 0;
  virtual TSoundResult Unlock(const TSoundLockedRegions& regions) = 0;
  virtual TSoundResult GetCurrentPosition(TSoundCursors& cursors) = 0;
};

class TSoundPlaybackRing : public TSoundRing {
public:
  virtual TSoundResult GetStatus(uint32_t& status) = 0;
  virtual TSoundResult Restore() = 0;
  virtual TSoundResult Play(uint32_t flags) = 0;
  virtual TSoundResult Stop() = 0;
  // Moves the position to `offset` of the ring and forgets what was committed.
  virtual TSoundResult SetCurrentPosition(uint32_t offset) = 0;
  // The device has written the bytes [begin, end) since the position last passed them: playback plays
  // them. Wherever the position reaches bytes not so written it plays silence, never what the ring
  // held from an earlier pass, and running past the end of what was written counts a dropout.
  virtual TSoundResult Commit(uint64_t begin, uint64_t end) = 0;
  // Nothing past what was committed is played: once it has all gone to the server, the server plays
  // out what it holds and GetStatus then reports SoundStatusDrained. Commit, Play and Stop end it.
  virtual TSoundResult BeginDrain() = 0;
};

class TSoundCaptureRing : public TSoundRing {
public:
  virtual TSoundResult Start(uint32_t flags) = 0;
  virtual TSoundResult Stop() = 0;
};

class TSoundPlayback {
public:
  virtual ~TSoundPlayback() = default;
  virtual TSoundResult SetCooperativeLevel(uint32_t level) = 0;
  virtual TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format, uint32_t flags,
                                  std::unique_ptr<TSoundPlaybackRing>& ring) = 0;
};

class TSoundCapture {
public:
  virtual ~TSoundCapture() = default;
  virtual TSoundResult CreateRing(uint32_t ringBytes, const TWaveFormat& format,
                                  std::unique_ptr<TSoundCaptureRing>& ring) = 0;
};

// The desktop's virtual sink that applications play into ("Звук приложений"): a sink of the node
// name AppsSinkName whose monitor a set-up captures. One sink serves every set-up that asks for it,
// in this process or another; it lives while a lease on it does.
inline constexpr const char* AppsSinkName = "sonolab_apps";
inline constexpr const char* AppsMonitorName = "sonolab_apps.monitor";
// The sink's property that records the default sink it replaced, for a start after a killed run.
inline constexpr const char* AppsPreviousDefaultProperty = "sonolab.previous_default";

struct TAppsSinkRequest {
  std::string Description;  // what the sound settings show; no quotes or backslashes
  TWaveFormat Format;       // the sink's format: the set-up's input format
  bool MakeDefault = false; // the sink is the default while the lease lives; streams follow it
};

// While it lives the sink exists (made, or shared with another lease); its end removes the sink when
// no other lease, here or in another live process, captures it, gives the default back and moves the
// streams on the sink to it.
class TAppsSinkLease {
public:
  virtual ~TAppsSinkLease() = default;
};

class TSoundServices {
public:
  virtual ~TSoundServices() = default;
  // Whether a server answers: Ok, or the failure a sound object's creation would report
  // (SoundNoDriver, "pa_context_connect: Connection refused").
  virtual TSoundResult CheckServer() = 0;
  // Devices in the server's order; enumeration reports no errors (an unreachable server lists none).
  virtual std::vector<TSoundDeviceInfo> EnumeratePlayback() = 0;
  virtual std::vector<TSoundDeviceInfo> EnumerateCapture() = 0;
  virtual TSoundResult CreatePlayback(const std::optional<std::string>& deviceId,
                                      std::unique_ptr<TSoundPlayback>& playback) = 0;
  virtual TSoundResult CreateCapture(const std::optional<std::string>& deviceId,
                                     std::unique_ptr<TSoundCapture>& capture) = 0;
  // Whether the services can make the virtual sink at all (a back-end without one lists no such input).
  virtual bool OffersAppsSink() const { return false; }
  // Makes or shares the virtual sink; the capture of AppsMonitorName then hears it. A failure says
  // which call failed, as CreateCapture does.
  virtual TSoundResult LeaseAppsSink(const TAppsSinkRequest&, std::unique_ptr<TAppsSinkLease>&) {
    return {SoundFail, "module-null-sink: not supported"};
  }
};
