// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// EditFilter: the parameter dialog that the descriptor of a filter's type names, shown modally on the
// live filter: TLHPassFilterDlg, TMultiBandFilterDlg, TEchoDlg, TReverbDlg, or TDescribedFilterDlg built
// from the type's descriptions. A type outside the catalogue gets none. When the dialog ends with OK the
// filter is applied once more.
//
// Threads: user-interface thread only. The filter must outlive the showing.

#include <cstdint>

class TFilter;
class TLHPassFilterDlg;
class TEchoDlg;
class TReverbDlg;
class TMultiBandFilterDlg;
class TDescribedFilterDlg;

// The parameter dialogs, each made once for the whole run by the start-up, which owns them.
struct TFilterDialogs {
  TLHPassFilterDlg* LHPass = nullptr;
  TEchoDlg* Echo = nullptr;
  TReverbDlg* Reverb = nullptr;
  TMultiBandFilterDlg* MultiBand = nullptr;
  TDescribedFilterDlg* Described = nullptr; // the types without a dialog of their own
};

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter);
