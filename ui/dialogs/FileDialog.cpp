// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/FileDialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>

QStringList NameFiltersFromPairs(const QString& pairs) {
  const QStringList parts = pairs.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns) {
      p = p.trimmed();
      if (p == QLatin1String("*.*")) {
        p = QStringLiteral("*");
      }
    }
    // The patterns go in a last pair of brackets, which the dialog hides: the description shows as is.
    filters << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters;
}

QFileDialog* NewFileDialog(QWidget* parent, TFileDialogKind kind, const QString& pairs,
                           const QString& defaultExt, const QString& title) {
  auto* dialog = new QFileDialog(parent);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setNameFilters(NameFiltersFromPairs(pairs));
  dialog->setDefaultSuffix(defaultExt);
  dialog->setSizeGripEnabled(true);
  if (!title.isEmpty()) {
    dialog->setWindowTitle(title);
  }
  if (kind == TFileDialogKind::Save) {
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    // A name typed without an extension takes the chosen entry's, where the entry has one.
    QObject::connect(
        dialog, &QFileDialog::filterSelected, dialog, [dialog, defaultExt](const QString& filter) {
          const QString patterns = filter.mid(filter.lastIndexOf(QLatin1Char('(')) + 1).chopped(1);
          const bool single = patterns.startsWith(QStringLiteral("*.")) &&
                              patterns.count(QLatin1Char('*')) == 1 && !patterns.contains(QLatin1Char(' '));
          dialog->setDefaultSuffix(single ? patterns.mid(2) : defaultExt);
        });
  } else {
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // A name typed as an existing file is opened as it is; the default extension only completes a
    // name that does not exist without it.
    if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
      QObject::connect(edit, &QLineEdit::textChanged, dialog, [dialog, defaultExt](const QString& text) {
        const QFileInfo typed(QDir(dialog->directory()).filePath(text));
        dialog->setDefaultSuffix(!text.isEmpty() && typed.isFile() ? QString() : defaultExt);
      });
    }
  }
  return dialog;
}

QString ChosenFile(const QFileDialog& dialog) {
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

int ExecFileDialog(QFileDialog& dialog) {
  const int result = dialog.exec();
  for (QCompleter* completer : dialog.findChildren<QCompleter*>()) {
    if (completer->popup() != nullptr) {
      completer->popup()->hide();
    }
  }
  return result;
}
