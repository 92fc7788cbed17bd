#pragma once
// TMultiBandFilterDlg: the parameter dialog of a live filter. One instance lives for the whole run;
// EditFilter points it at a filter before each showing.
//
// Threads: user-interface thread only.

#include <QDialog>

class TFilter;

class TMultiBandFilterDlg : public QDialog {
  Q_OBJECT

public:
  explicit TMultiBandFilterDlg(QWidget* parent = nullptr);

  // The filter the next showing edits; it must outlive the showing.
  void SetFilter(TFilter* filter) { Filter = filter; }

  TFilter* Filter = nullptr;
};
