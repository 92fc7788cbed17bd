#pragma once
// EditFilter: the parameter dialog that belongs to a filter's type, shown modally on the live
// filter. Types 0 and 1 get TLHPassFilterDlg, 4 TMultiBandFilterDlg, 9 TEchoDlg, 11 TReverbDlg; any
// other type gets no dialog. When the dialog ends with OK the filter is applied once more.
//
// Threads: user-interface thread only. The filter must outlive the showing.

class TFilter;
class TLHPassFilterDlg;
class TEchoDlg;
class TReverbDlg;
class TMultiBandFilterDlg;

// The parameter dialogs, each made once for the whole run by the start-up, which owns them.
struct TFilterDialogs {
  TLHPassFilterDlg* LHPass = nullptr;
  TEchoDlg* Echo = nullptr;
  TReverbDlg* Reverb = nullptr;
  TMultiBandFilterDlg* MultiBand = nullptr;
};

void EditFilter(const TFilterDialogs& dialogs, TFilter& filter);
