// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the device dialog keeps of its last OK, between set-ups and between runs of the program, in
// the user's settings (QSettings, organisation and application "sonolab"): the input item, the output
// items checked, the format chosen for each item (by the item's text), the block size, whether the
// applications' sink becomes the default, and the folder of the last file named. Nothing kept (the first use)
// means the defaults: item 0 of each list, the default format, the block-size rule.
//
// Threads: user-interface thread only.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>

inline constexpr const char* SettingsOrganisation = "sonolab";
inline constexpr const char* SettingsApplication = "sonolab";

struct TDeviceChoices {
  std::optional<QString> Input;         // the input item's text
  std::optional<QStringList> Outputs;   // the texts of the output items checked (maybe none)
  std::map<QString, int> InputFormats;  // format-table entry chosen, by input item text
  std::map<QString, int> OutputFormats; // by output item text; an output not here takes the input's
  int32_t BlockFrames = 0;
  bool AppsMakeDefault = true; // "Сделать устройством по умолчанию"
  QString Folder;              // of the last file an item was given; empty: none
};

TDeviceChoices LoadDeviceChoices();
void SaveDeviceChoices(const TDeviceChoices& choices);
