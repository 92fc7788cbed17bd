// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Qt side of TProcessingNotify. Notification 0 (an update of the displays published) only counts:
// the worker neither allocates an event nor takes the lock of Qt's event queue for it, and the window
// looks at the count on a timer of its own (TakeUpdate) and then takes the newest update from the
// worker's lock-free publisher. Notification 1 becomes a TDSPNotifyEvent (type 32868) posted to the
// processing window, carrying the error or notice that ended the worker; notification 2 (the input has
// ended) likewise, with the notice of the end. Nothing here waits for the user-interface thread.
//
// Threads: PostDSPNotify and ShowDSPException run on the worker; TakeUpdate and Received run on the
// user-interface thread. The count is released by the worker and acquired by TakeUpdate, and each post
// is released through `posted` and acquired by Received, so the event's fields and the published block
// are ordered for every reader, ThreadSanitizer included, whatever Qt's own event queue does inside.

#include "engine/ProcessingThread.h"

#include <QEvent>

#include <atomic>
#include <cstdint>
#include <optional>

class QObject;

inline constexpr QEvent::Type DSPNotifyEventType = static_cast<QEvent::Type>(WM_DSP_NOTIFY);

class TDSPNotifyEvent final : public QEvent {
public:
  TDSPNotifyEvent(uintptr_t wParam, std::optional<TDSPException> report)
      : QEvent(DSPNotifyEventType), WParam(wParam), Report(std::move(report)) {}

  const uintptr_t WParam;
  // For wParam 1: the record that ended the worker, if it handed one over; for wParam 2 the notice.
  const std::optional<TDSPException> Report;
};

class TDSPWindowNotify final : public TProcessingNotify {
public:
  // The window receives the events; it must outlive the worker.
  explicit TDSPWindowNotify(QObject& window) : window(window) {}

  void PostDSPNotify(uintptr_t wParam) override;
  void ShowDSPException(const TDSPException& e) override;

  // User-interface thread: whether an update was published since the last call.
  bool TakeUpdate();
  // Updates the worker published so far. Any thread.
  uint64_t UpdatesPublished() const { return updates.load(std::memory_order_relaxed); }
  // User-interface thread, on each event before reading it.
  void Received() const { (void)posted.load(std::memory_order_acquire); }

private:
  QObject& window;
  std::optional<TDSPException> report; // worker only: held for notification 1 or 2
  std::atomic<uint64_t> updates{0};
  uint64_t updatesTaken = 0; // user-interface thread only
  std::atomic<uint64_t> posted{0};
};
