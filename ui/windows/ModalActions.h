// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The modal actions under way in one window: a dialog or box that one of its handlers shows with
// exec. The window must not be destroyed while such an action runs, since the handler goes on after
// exec returns. A close asked for meanwhile ends the dialogs of the actions under way (as Cancel)
// and is carried out, queued, once the last action has returned.
//
// Threads: user-interface thread only.

#include <QDialog>
#include <QObject>
#include <QPointer>

#include <functional>
#include <initializer_list>
#include <vector>

class TModalActions {
public:
  // `closeNow` closes the window; it runs in `window`'s context, so never after the window is gone.
  TModalActions(QObject& window, std::function<void()> closeNow)
      : window(window), closeNow(std::move(closeNow)) {}

  // One action: its dialogs are the ones a close ends.
  class TScope {
  public:
    TScope(TModalActions& actions, std::initializer_list<QDialog*> dialogs);
    ~TScope();
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;

  private:
    TModalActions& actions;
    size_t firstDialog;
  };

  bool Busy() const { return depth > 0; }
  // Whether a close waits for the actions under way; the handler should then skip what follows exec.
  bool ClosePending() const { return closePending; }

  // When no action runs: false, and the caller closes at once. Otherwise the dialogs of the actions
  // are ended, the close is carried out after the last one, and the answer is true.
  bool DeferClose();
  // A close that was carried out, or given up.
  void ClearClose() { closePending = false; }

private:
  QObject& window;
  std::function<void()> closeNow;
  int depth = 0;
  bool closePending = false;
  std::vector<QPointer<QDialog>> dialogs;
};
