#pragma once
// A scriptable stand-in for the sound services in unit tests. It keeps one playback ring and one
// capture ring in memory, records every call as a line of text ("Lock 20624 16384 0"), and lets a
// test set the cursors, fire slot notifications in any order, report a lost buffer, fail the ring's
// event set, and make a named call fail with a given code and text.
//
// Threads: every operation takes one mutex; a test may fire notifications from another thread
// while a device waits.

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
  uint32_t PlayCursor = 0;
  uint32_t WriteCursor = 0;
  uint32_t CurrentPosition = 0;
};

class TFakeSoundServices : public TSoundServices {
public:
  TFakeSoundServices();

  // ---- Scripting ----
  void SetPlaybackDevices(std::vector<TSoundDeviceInfo> devices);
  void SetCaptureDevices(std::vector<TSoundDeviceInfo> devices);
  void SetCursors(uint32_t playCursor, uint32_t writeCursor);
  void SetWriteCursor(uint32_t writeCursor);
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

  struct TState;

private:
  std::shared_ptr<TState> state;
};
