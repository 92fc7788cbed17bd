// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Qt side of TProcessingNotify: WM_DSP_NOTIFY becomes a TDSPNotifyEvent (type 32868) posted to
// the processing window, carrying wParam and, for wParam 1, the error or notice that ended the
// worker (for wParam 2 the notice of the input's end). Nothing here waits for the user-interface thread.
//
// Threads: PostDSPNotify and ShowDSPException run on the worker; Received runs on the user-interface
// thread when an event arrives, before the event is read. Each post is released through `posted` and
// acquired by Received, so the event's fields and the published block are ordered for every reader,
// ThreadSanitizer included, whatever Qt's own event queue does inside.

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

  // User-interface thread, on each event before reading it.
  void Received() const { (void)posted.load(std::memory_order_acquire); }

private:
  QObject& window;
  std::optional<TDSPException> report; // worker only: held for notification 1 or 2
  std::atomic<uint64_t> posted{0};
};
