// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A scriptable stand-in for the sound services in unit tests. It keeps one playback ring and one
// capture ring in memory, records every call as a line of text ("Lock 20624 16384 0"), and lets a
// test set the cursors, play the playback ring out and capture into the capture ring by the same
// rules as a real server's pump (TRingCursor), fire slot notifications in any order, report a lost
// buffer or a stream's underflow, fail the ring's event set, and make a named call fail with a given
// code and text.
//
// Threads: every operation takes one mutex; a test may fire notifications from another thread
// while a device waits.

#include "devices/platform/RingCursor.h"
#include "devices/platform/SoundServices.h"

#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the fake knows of one ring; it outlives the ring so that a test can inspect it.
struct TFakeRing {
  bool Created = false;
  std::vector<uint8_t> Memory;
  TWaveFormat Format;
  uint32_t Flags = 0;
  TSoundNotifyPositions Positions{};
  TEventSet* Events = nullptr;
  bool Running = false;
  bool Looping = false;
  bool Lost = false;
  bool Draining = false;        // BeginDrain since the last Play, Stop or Commit
  TRingCursor Cursor{1, 0};     // the write cursor is its position
  uint64_t HeldBytes = 0;       // the play cursor lies this far behind the write cursor
  uint64_t RequestBytes = 0;    // what the server asks for at once, as the playback ring reports it
  uint32_t CurrentPosition = 0; // the offset of the last SetCurrentPosition
  std::vector<uint8_t> Heard;   // what the playback ring has played out
};

class TFakeSoundServices : public TSoundServices {
public:
  TFakeSoundServices();

  // ---- Scripting ----
  void SetPlaybackDevices(std::vector<TSoundDeviceInfo> devices);
  void SetCaptureDevices(std::vector<TSoundDeviceInfo> devices);
  // The playback ring's cursors, counted unwrapped, set without playing anything.
  void SetCursors(uint64_t playCursor, uint64_t writeCursor);
  void SetWriteCursor(uint64_t writeCursor);
  void SetRequest(uint64_t bytes);
  // Plays out the next `bytes` of a running playback ring as a server's pump would: what was
  // committed, silence elsewhere, signalling each slot passed; a draining ring stops at its end.
  // Returns what was played.
  std::vector<uint8_t> PlayOut(uint64_t bytes);
  // The playback stream reports an underflow.
  void ReportUnderflow();
  // Captures the bytes into the capture ring at its position, signalling each slot completed.
  void CaptureBytes(const std::vector<uint8_t>& bytes);
  // GetStatus reports the lost flag until Restore.
  void ReportLost();
  // The next `times` calls named `call` ("Lock", "Play", "DirectSoundCreate", ...) fail.
  void FailCall(const std::string& call, int32_t code, const std::string& text, int times = 1);
  // Signals the events of the playback or the capture ring, in the given order.
  void NotifyPlayback(std::initializer_list<int> slots);
  void NotifyCapture(std::initializer_list<int> slots);
  // Fails the event set of the playback or capture ring, as a server that went away does.
  void FailPlaybackEvents(uint32_t code, const std::string& text);
  void FailCaptureEvents(uint32_t code, const std::string& text);

  // ---- Inspection ----
  std::vector<std::string> Calls() const;
  // The recorded calls whose line starts with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  void ClearCalls();
  TFakeRing PlaybackRing() const;
  TFakeRing CaptureRing() const;
  // Direct access to a ring's bytes (to fill a capture ring, to read a playback ring).
  std::vector<uint8_t>& PlaybackMemory();
  std::vector<uint8_t>& CaptureMemory();

  // ---- TSoundServices ----
  std::vector<TSoundDeviceInfo> EnumeratePlayback() override;
  std::vector<TSoundDeviceInfo> EnumerateCapture() override;
  TSoundResult CreatePlayback(const std::optional<std::string>& deviceId,
                              std::unique_ptr<TSoundPlayback>& playback) override;
  TSoundResult CreateCapture(const std::optional<std::string>& deviceId,
                             std::unique_ptr<TSoundCapture>& capture) override;
  TSoundResult CheckServer() override;

  struct TState;

private:
  std::shared_ptr<TState> state;
};
