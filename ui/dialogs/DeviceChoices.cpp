// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs/DeviceChoices.h"

#include "devices/AudioFormats.h"
#include "devices/VirtDevs.h"

#include <QSettings>

namespace {

constexpr const char* Group = "DeviceDialog";

std::map<QString, int> ReadFormats(QSettings& settings, const QString& name) {
  std::map<QString, int> formats;
  const int n = settings.beginReadArray(name);
  for (int i = 0; i < n; ++i) {
    settings.setArrayIndex(i);
    bool ok = false;
    const int format = settings.value(QStringLiteral("Format")).toInt(&ok);
    const QString item = settings.value(QStringLiteral("Item")).toString();
    if (ok && format >= 0 && format < FormatCount && !item.isEmpty()) {
      formats[item] = format; // a file edited by hand keeps only what the dialog could have chosen
    }
  }
  settings.endArray();
  return formats;
}

void WriteFormats(QSettings& settings, const QString& name, const std::map<QString, int>& formats) {
  settings.beginWriteArray(name, static_cast<int>(formats.size()));
  int i = 0;
  for (const auto& [item, format] : formats) {
    settings.setArrayIndex(i++);
    settings.setValue(QStringLiteral("Item"), item);
    settings.setValue(QStringLiteral("Format"), format);
  }
  settings.endArray();
}

} // namespace

TDeviceChoices LoadDeviceChoices() {
  QSettings settings(QString::fromLatin1(SettingsOrganisation), QString::fromLatin1(SettingsApplication));
  settings.beginGroup(QString::fromLatin1(Group));
  TDeviceChoices c;
  if (settings.contains(QStringLiteral("Input"))) {
    c.Input = settings.value(QStringLiteral("Input")).toString();
  }
  if (settings.contains(QStringLiteral("Outputs"))) {
    c.Outputs = settings.value(QStringLiteral("Outputs")).toStringList();
  }
  c.InputFormats = ReadFormats(settings, QStringLiteral("InputFormats"));
  c.OutputFormats = ReadFormats(settings, QStringLiteral("OutputFormats"));
  const int32_t block = settings.value(QStringLiteral("BlockFrames"), 0).toInt();
  c.BlockFrames = IsBlockFramesChoice(block) ? block : 0;
  c.AppsMakeDefault = settings.value(QStringLiteral("AppsMakeDefault"), true).toBool();
  c.Folder = settings.value(QStringLiteral("Folder")).toString();
  return c;
}

void SaveDeviceChoices(const TDeviceChoices& c) {
  QSettings settings(QString::fromLatin1(SettingsOrganisation), QString::fromLatin1(SettingsApplication));
  settings.beginGroup(QString::fromLatin1(Group));
  settings.remove(QString()); // the group afresh: arrays shrink, choices undone go
  if (c.Input) {
    settings.setValue(QStringLiteral("Input"), *c.Input);
  }
  if (c.Outputs) {
    settings.setValue(QStringLiteral("Outputs"), *c.Outputs);
  }
  WriteFormats(settings, QStringLiteral("InputFormats"), c.InputFormats);
  WriteFormats(settings, QStringLiteral("OutputFormats"), c.OutputFormats);
  settings.setValue(QStringLiteral("BlockFrames"), c.BlockFrames);
  settings.setValue(QStringLiteral("AppsMakeDefault"), c.AppsMakeDefault);
  if (!c.Folder.isEmpty()) {
    settings.setValue(QStringLiteral("Folder"), c.Folder);
  }
}
