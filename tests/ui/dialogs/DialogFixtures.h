// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the filter-dialog tests share: real filters that count their redesigns, a filter of a type
// without a dialog, one instance of each dialog for the whole program (as the start-up makes them),
// and waiting for a paced movement.
//
// Threads: the test thread (Qt's GUI thread), except where a test says otherwise.

#include "dsp/Filter.h"
#include "support/QtTestApp.h"
#include "ui/dialogs/DescribedFilterDlg.h"
#include "ui/dialogs/EchoDlg.h"
#include "ui/dialogs/EditFilter.h"
#include "ui/dialogs/LHPassFilterDlg.h"
#include "ui/dialogs/MultiBandFilterDlg.h"
#include "ui/dialogs/ReverbDlg.h"
#include "ui/dialogs/SelectFilterDialog.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <memory>

namespace dialogtest {

// A real filter of class Base that counts the Update calls made after its construction (every
// Apply, and Load, runs one).
template <class Base> class TCounting : public Base {
public:
  using Base::Base;
  void Update() override {
    ++Updates;
    Base::Update();
  }
  std::atomic<int> Updates{0};
};

// A filter of a type that has no dialog (by default an index outside the catalogue).
class TNoDialogFilter : public TFilter {
public:
  explicit TNoDialogFilter(int32_t sampleRate) : TFilter(sampleRate) { type = 16; }
  void SetType(int32_t t) { type = t; }
  void Process(ChannelBlock&, int) override {}
  void Update() override { ++Updates; }
  int Updates = 0;
};

// The dialogs, made once for the whole test program like the start-up makes them for the whole run.
struct TDialogs {
  TSelectFilterDialog Select;
  TLHPassFilterDlg LHPass;
  TEchoDlg Echo;
  TReverbDlg Reverb;
  TMultiBandFilterDlg MultiBand;
  TDescribedFilterDlg Described;
  TFilterDialogs Set() { return {&LHPass, &Echo, &Reverb, &MultiBand, &Described}; }
};

// Released by the program's test environment before the application.
inline std::unique_ptr<TDialogs>& DialogsHolder() {
  static std::unique_ptr<TDialogs> dialogs;
  return dialogs;
}

inline TDialogs& Dialogs() {
  sonotest::App();
  std::unique_ptr<TDialogs>& dialogs = DialogsHolder();
  if (!dialogs) {
    dialogs = std::make_unique<TDialogs>();
  }
  return *dialogs;
}

// Shows the dialog on the filter, as EditFilter does but without a modal loop of its own.
inline void ShowOn(TParameterDialog& dialog, TFilter& filter) {
  dialog.SetFilter(&filter);
  dialog.show();
  QCoreApplication::processEvents();
}

// Ends a showing without a result and leaves the dialog pointing at nothing.
inline void Close(TParameterDialog& dialog) {
  dialog.reject();
  dialog.SetFilter(nullptr);
}

// Waits (events running) until no paced movement is left waiting; false after 5 s.
inline bool WaitForMovements(const TParameterDialog& dialog) {
  QElapsedTimer clock;
  clock.start();
  while (dialog.MovementWaiting()) {
    if (clock.elapsed() > 5000) {
      return false;
    }
    QTest::qWait(1);
  }
  return true;
}

} // namespace dialogtest
