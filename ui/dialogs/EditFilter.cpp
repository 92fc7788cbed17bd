// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/EditFilter.h"

#include "dsp/Filter.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"

namespace {

TParameterDialog* DialogFor(const TFilterDialogs& dialogs, int32_t type) {
  switch (type) {
  case 0:
  case 1:
    return dialogs.LHPass;
  case 4:
    return dialogs.MultiBand;
  case 9:
    return dialogs.Echo;
  case 11:
    return dialogs.Reverb;
  default:
    return TDescribedFilterDlg::Caption(type).isEmpty() ? nullptr : dialogs.Described;
  }
}

} // namespace

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter) {
  TParameterDialog* dialog = DialogFor(dialogs, filter.Type());
  if (dialog == nullptr) {
    return;
  }
  dialog->SetFilter(&filter);
  const int result = dialog->exec();
  // The filter may go once the showing is over; nothing of the dialog points at it meanwhile.
  dialog->SetFilter(nullptr);
  if (result == QDialog::Accepted) {
    filter.Apply();
  }
}
