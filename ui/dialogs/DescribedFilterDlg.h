// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TDescribedFilterDlg: the parameter dialog of every filter type that has no dialog of its own (band-pass,
// band-stop, IIR, Chebyshev, moving average, DC removal, chorus, noise, amplitude modulation, synthesis,
// pitch shift, and every LV2 plug-in slot), built from the filter's parameter descriptions. One instance
// lives for the whole run; EditFilter points it at a filter before each showing, and it builds its
// controls anew when the filter is of another type than the one before, and for every plug-in slot
// (whose type lives only as long as the slot). A filter that reports its latency (a plug-in that does)
// shows it under the controls, as it stands after each Apply. Controls taller than the screen's share
// scroll.
//
// Each parameter gets, in registration order: a number an edit with its caption and, unless its
// description says otherwise, a track bar under it (over the range, on the exponential scale of the
// cut-off bar where the description asks for it); a choice a column of radio buttons; a power of two a
// list of the sizes. The bars act at once; the edits, the buttons and the lists on OK or Apply (after
// which the bars stand at the values applied). Decimal
// fields show a decimal comma and take "," or "." alike. A bar for a value that another may not be
// below (the band's upper edge) stops at that value, and the other's bar at it.
//
// Threads: user-interface thread only; see TParameterDialog for the filter's lock.

#include "ui/dialogs/ParameterDialog.h"

#include <QString>

#include <cstdint>
#include <vector>

class QLabel;
class QListWidget;
class QRadioButton;
class QScrollArea;
class QWidget;
struct TFilterDescriptor;

class TDescribedFilterDlg : public TParameterDialog {
  Q_OBJECT

public:
  // The controls of one parameter; those its kind does not use are null or empty.
  struct TField {
    const TParameterDescription* Description = nullptr;
    QLabel* Label = nullptr;
    QLineEdit* Edit = nullptr;
    QSlider* Bar = nullptr;
    QListWidget* List = nullptr;
    std::vector<QRadioButton*> Choices;
    void* Storage = nullptr; // in the filter shown
    bool Moved = false;      // the bar moved since the last write
    QString Shown;           // the edit's text as the showing set it
  };

  explicit TDescribedFilterDlg(QWidget* parent = nullptr);

  // The dialog's caption for a catalogue type, as its descriptor gives it (empty for the types with
  // dialogs of their own).
  static QString Caption(int32_t type);
  // Positions of a bar over [0, BarSteps] for bars that do not count the values one by one.
  static constexpr int BarSteps = 1000;

  // The type the controls are built for (-1 before the first filter).
  int32_t BuiltType() const { return builtType; }
  const std::vector<TField>& Fields() const { return fields; }
  // The field of a parameter (null if the type has none of that name).
  const TField* Field(const char* name) const;

  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* ApplyBtn = nullptr;
  // "Задержка модуля: N отсчётов (M мс)" for a filter that reports its latency; hidden otherwise.
  QLabel* LatencyLabel = nullptr;

  // Tallest the controls stand before they scroll.
  static constexpr int MaxBodyHeight = 560;

protected:
  void LookUpParameters() override;
  void ShowFilter() override;
  bool WriteMovedBars() override;
  void Applied() override;

private:
  void Build(const TFilterDescriptor* descriptor);
  void ShowLatency();
  void BarChange(size_t field);
  // Greys out the fields without an effect under the choices now checked (UsedWhen).
  void ShowUse();
  // A bar's value at a position, and the position of a value, at the shown filter's rate.
  double BarValue(const TField& f, int position) const;
  int BarPosition(const TField& f, double value) const;
  // The bounds of a field now: its description's, narrowed by the values other parameters hold.
  double Lowest(size_t field) const;
  double Highest(size_t field) const;
  // Validates the typed values and writes them with Apply; false (after the error box) if refused.
  bool ApplyTyped();
  void OKBtnClick();

  // What the controls are built for; a plug-in slot's descriptor is only compared, never read, since it
  // goes with its slot.
  const TFilterDescriptor* built = nullptr;
  int32_t builtType = -1;
  bool builtPlugin = false;
  QScrollArea* scroll = nullptr;
  QWidget* body = nullptr; // the controls of the type built, in `scroll`
  std::vector<TField> fields;
};
