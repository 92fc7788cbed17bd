// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// EditFilter: the parameter dialog that belongs to a filter's type, shown modally on the live
// filter. Types 0 and 1 get TLHPassFilterDlg, 4 TMultiBandFilterDlg, 9 TEchoDlg, 11 TReverbDlg, every
// other catalogue type TDescribedFilterDlg. When the dialog ends with OK the filter is applied once more.
//
// AddNewFilter is the processing window's Add: the type from the selection dialog, a new filter at
// the chain's rate, its dialog, and the filter joins the chain whatever the dialog's result.
//
// Threads: user-interface thread only. The filter must outlive the showing; a window that must
// destroy a filter while its dialog may be showing (its teardown) calls EndEditing first.

#include <cstdint>

class TFilter;
class TFilterList;
class TLHPassFilterDlg;
class TEchoDlg;
class TReverbDlg;
class TMultiBandFilterDlg;
class TDescribedFilterDlg;
class TSelectFilterDialog;

// The parameter dialogs, each made once for the whole run by the start-up, which owns them.
struct TFilterDialogs {
  TLHPassFilterDlg* LHPass = nullptr;
  TEchoDlg* Echo = nullptr;
  TReverbDlg* Reverb = nullptr;
  TMultiBandFilterDlg* MultiBand = nullptr;
  TDescribedFilterDlg* Described = nullptr; // the types without a dialog of their own
};

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter);

// Shows the selection dialog; on OK creates the chosen filter at the chain's sample rate, runs
// EditFilter on it and adds it to the chain (also when its dialog was cancelled). Returns the added
// filter, or null when the selection was cancelled or the type has no class (nothing is shown then).
// A full chain raises TFilterError(MsgChainFull) before any dialog is shown.
TFilter* AddNewFilter(TSelectFilterDialog& select, const TFilterDialogs& dialogs, TFilterList& chain);

// Ends, with Cancel, a dialog that is showing for this filter, and points it at nothing, so that it
// never touches the filter again. Nothing happens to the other dialogs.
void EndEditing(const TFilterDialogs& dialogs, const TFilter& filter);
