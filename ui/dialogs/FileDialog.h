// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file dialogs of the program: Qt's own dialog (the same on every desktop), its filters given as
// "description|pattern|description|pattern" pairs. The list shows each description as written; a
// pattern "*.*" means every file, names without a dot included.
//
// Threads: user-interface thread only.

#include <QFileDialog>
#include <QString>
#include <QStringList>

enum class TFileDialogKind {
  Open, // the file and its folder must exist; the default extension completes only a name without a file
  Save, // asks before overwriting an existing file
};

// The Qt name filters of a pair string, in order.
QStringList NameFiltersFromPairs(const QString& pairs);

// A new dialog owned by `parent`. defaultExt without the dot ("wav") is added to a name typed without
// an extension. An empty title keeps the dialog's own.
QFileDialog* NewFileDialog(QWidget* parent, TFileDialogKind kind, const QString& pairs,
                           const QString& defaultExt, const QString& title = QString());

// Shows the dialog modally and returns its result. The name field's completion list goes with it:
// a Return typed while the list was open would leave the list on the screen.
int ExecFileDialog(QFileDialog& dialog);

// The one file the user chose in a dialog that ended with OK.
QString ChosenFile(const QFileDialog& dialog);
