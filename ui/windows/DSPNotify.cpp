// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/DSPNotify.h"

#include <QCoreApplication>

void TDSPWindowNotify::PostDSPNotify(uintptr_t wParam) {
  std::optional<TDSPException> carried;
  if (wParam != 0) {
    carried = std::move(report);
    report.reset();
  }
  auto* event = new TDSPNotifyEvent(wParam, std::move(carried));
  posted.fetch_add(1, std::memory_order_release);
  QCoreApplication::postEvent(&window, event);
}

void TDSPWindowNotify::ShowDSPException(const TDSPException& e) {
  report = e;
}
