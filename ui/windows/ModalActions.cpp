// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/ModalActions.h"

#include <QTimer>

TModalActions::TScope::TScope(TModalActions& actions, std::initializer_list<QDialog*> dialogs)
    : actions(actions), firstDialog(actions.dialogs.size()) {
  ++actions.depth;
  for (QDialog* dialog : dialogs) {
    actions.dialogs.emplace_back(dialog);
  }
}

TModalActions::TScope::~TScope() {
  actions.dialogs.resize(firstDialog);
  if (--actions.depth == 0 && actions.closePending) {
    QTimer::singleShot(0, &actions.window, actions.closeNow);
  }
}

bool TModalActions::DeferClose() {
  if (depth == 0) {
    return false;
  }
  closePending = true;
  // Innermost first, so that each exec returns into a caller whose own dialog ends next.
  for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
    if (*it != nullptr && (*it)->isVisible()) {
      (*it)->reject();
    }
  }
  return true;
}
