// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/Icons.h"

#include <QString>

void InitSonolabResources() {
  Q_INIT_RESOURCE(sonolab);
}

QIcon SonolabIcon(const char* themeName, const char* resource) {
  InitSonolabResources();
  const QIcon ours(QStringLiteral(":/icons/%1.svg").arg(QString::fromLatin1(resource)));
  if (themeName == nullptr) {
    return ours;
  }
  return QIcon::fromTheme(QString::fromLatin1(themeName), ours);
}

QIcon ProgramIcon() {
  InitSonolabResources();
  return QIcon::fromTheme(QStringLiteral("sonolab"), QIcon(QStringLiteral(":/sonolab.svg")));
}
