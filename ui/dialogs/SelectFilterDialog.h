// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSelectFilterDialog: "Выбор фильтра или эффекта", the 16 catalogue names in catalogue order with
// item 0 selected at creation; a double click on a name ends the dialog with OK. One instance lives
// for the whole run and keeps the previous choice between showings.
//
// Threads: user-interface thread only.

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;

class TSelectFilterDialog : public QDialog {
  Q_OBJECT

public:
  explicit TSelectFilterDialog(QWidget* parent = nullptr);

  // The chosen catalogue index (the list box's item index).
  int SelectedIndex() const;

  QLabel* Label1 = nullptr;
  QListWidget* FilterListBox = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
};
