// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TParameterDialog: what the parameter dialogs share. Each edits one live filter: it finds the
// parameters with FindParameter, writes them in place and makes them take effect with Apply, so that
// every edit is heard while the dialog is open. Cancel, Esc or a close puts back every value the
// filter held when the dialog was shown (what the bars moved and what Apply wrote alike) and applies
// them; OK keeps what was applied.
//
// A track-bar movement is one step for the worker: the new value is written and the filter applied
// with the filter's lock held throughout, so Process never sees a value without its Update. A
// redesign can take milliseconds (the equaliser sums 40 kernels), so movements are paced: one is
// applied at once unless the previous Apply ended less than its own duration ago; then it waits for
// that time, and the movements that come meanwhile go into the one Apply that follows. The filter's
// lock is so held at most half of the time while a bar is dragged, and the worker waits at most one
// redesign for it. The newest position is never lost: ending the dialog (OK, Cancel, a close)
// applies what still waits.
//
// Threads: user-interface thread only. Writes hold the filter's lock (re-entrant, so Apply inside is
// fine) and no other lock; the worker takes the chain's lock, then the filters'.

#include <QDialog>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

struct TParameterDescription;

class QLineEdit;
class QMessageBox;
class QPushButton;
class QShowEvent;
class QSlider;
class QTimer;
class TFilter;

// A choice's name as a control shows it, with a capital letter.
QString CapitalisedChoice(const TParameterDescription& d, int i);

class TParameterDialog : public QDialog {
  Q_OBJECT

public:
  explicit TParameterDialog(QWidget* parent = nullptr);
  ~TParameterDialog() override;

  // The filter the next showing edits; it must outlive the showing. A movement still waiting for
  // the previous filter is applied to it first. The caption becomes the one its type's descriptor gives.
  void SetFilter(TFilter* filter);
  TFilter* EditedFilter() const { return filter; }

  // Whether a track-bar movement waits to be applied.
  bool MovementWaiting() const;

  // Ends the showing: applies a waiting movement, closes an open error box, puts back the values the
  // showing began with unless the result is OK, then ends as QDialog.
  void done(int result) override;

  // The field's range message with its bounds filled in.
  static QString RangeMessage(const TParameterDescription& d, double minimum, double maximum);
  // A value as a field shows it: its description's decimals, with a decimal comma.
  static QString ValueText(const TParameterDescription& d, double value);

protected:
  // Finds the parameters of the filter (null pointers without one); runs when the filter is set
  // and on each showing.
  virtual void LookUpParameters() = 0;
  // Reads the filter into the controls; runs on each showing, with a filter set.
  virtual void ShowFilter() = 0;
  // Writes the positions of the bars that moved since the last call and forgets the movements;
  // runs with the filter's lock held (or without a filter, when there is nothing to write into).
  // True if a value changed and the filter must be applied.
  virtual bool WriteMovedBars() = 0;
  // After each Apply of the dialog's writes (the filter's lock released).
  virtual void Applied() {}

  // A bar has moved and noted what to write: write and apply now, or as soon as the pacing allows.
  void BarMoved();
  // Applies a waiting movement now.
  void ApplyMovedBars();

  // The "Ошибка" box with the warning icon and an OK button, over this dialog; returns when closed.
  void ShowError(const QString& text);
  // Typed values. A field holds whatever was typed (nothing is filtered out or dropped, so what it shows
  // is what is checked): a number as ReadTypedNumber reads it, whole where the parameter is; a text that
  // is not a number, or not a whole one, is refused saying so before the field's range message.
  //
  // Whether the field holds anything, after the box with its empty message if not.
  bool FilledIn(const QLineEdit& edit, const TParameterDescription& d);
  // The number typed into a field, or nothing after the box with what is wrong and the field's range
  // message (its bounds `minimum` and `maximum`).
  std::optional<double> TypedValue(const QLineEdit& edit, const TParameterDescription& d, double minimum,
                                   double maximum);
  // Moves a bar (quietly, through `place`) to each value typed into `edit` once it is a valid one,
  // within `bounds`; nothing is applied until Apply or OK.
  void BarFollows(QLineEdit* edit, const TParameterDescription& d,
                  const std::function<std::pair<double, double>()>& bounds,
                  const std::function<void(double)>& place);
  // Whether a value lies within [minimum, maximum] (and is a power of two where it must be), after the
  // box with the field's range message if not.
  bool InRange(double value, const TParameterDescription& d, double minimum, double maximum);
  // Writes values with `write` and applies them, all under the filter's lock; there is a filter.
  void WriteAndApply(const std::function<void()>& write);

  // An edit for a number, wide enough for `digits` characters; it takes any text (see TypedValue).
  QLineEdit* NewNumberEdit(int digits);
  // A track bar over [minimum, maximum]; vertical ones have their minimum at the top.
  QSlider* NewTrackBar(Qt::Orientation orientation, int minimum, int maximum, int tickInterval);
  // Runs `change` when the bar moves, and when its handle is pressed and let go where it was (a
  // touch, which a track bar reports as a change too).
  void OnBarChange(QSlider* bar, const std::function<void()>& change);
  // Sets a bar's position without running its change handler.
  static void SetPositionQuietly(QSlider& bar, int position);
  // The position of a level bar for a linear amplitude: trunc(-RoundHalfUp(dB)), within the bar's
  // range (silence, 0, at the bottom).
  static int LevelPosition(double amplitude, int minimum, int maximum);

  void showEvent(QShowEvent* event) override;

  TFilter* filter = nullptr;

private:
  // Every parameter's bytes in table order, as the filter holds them now.
  std::vector<uint8_t> ParameterBytes() const;
  // Writes back the bytes the showing began with and applies them, when they differ from the filter's.
  void RestoreOpened();

  std::vector<uint8_t> opened; // the filter's parameters when it was shown; empty between showings
  QTimer* movementTimer = nullptr;
  QMessageBox* errorBox = nullptr;
  std::chrono::steady_clock::time_point lastApplyEnd{};
  std::chrono::steady_clock::duration lastApplyCost{};
};
