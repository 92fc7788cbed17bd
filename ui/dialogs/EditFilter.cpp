// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/EditFilter.h"

#include "dsp/Filter.h"
#include "filters/FilterCatalogue.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"

namespace {

TParameterDialog* DialogFor(const TFilterDialogs& dialogs, const TFilter& filter) {
  const TFilterDescriptor* descriptor = filter.Descriptor();
  if (descriptor == nullptr) {
    return nullptr;
  }
  switch (descriptor->Dialog) {
  case TDialogKind::LowHighPass:
    return dialogs.LHPass;
  case TDialogKind::MultiBand:
    return dialogs.MultiBand;
  case TDialogKind::Echo:
    return dialogs.Echo;
  case TDialogKind::Reverberation:
    return dialogs.Reverb;
  case TDialogKind::Described:
    return dialogs.Described;
  }
  return nullptr;
}

} // namespace

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter) {
  TParameterDialog* dialog = DialogFor(dialogs, filter);
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
