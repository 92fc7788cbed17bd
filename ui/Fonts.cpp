// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

QString ArialFace() {
  const QStringList families = QFontDatabase::families();
  for (const char* name : {"Arial", "Liberation Sans", "Arimo"}) {
    if (families.contains(QString::fromLatin1(name), Qt::CaseInsensitive)) {
      return QString::fromLatin1(name);
    }
  }
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}
