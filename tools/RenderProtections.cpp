// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderProtections.h"

#include "devices/FileChecks.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

void CheckFiles(const TRenderCommand& command, const TRenderConsole& console) {
  using K = TRenderAction::Kind;
  TFileUses uses;
  if (command.Input && command.Input->Family == TDeviceFamily::File) {
    uses.AddInput(FileKeyOf(command.Input->FileName, STDIN_FILENO));
  }
  std::vector<TFileKey> saves;
  for (const TRenderAction& action : command.Actions) {
    if (action.What == K::Chain || action.What == K::LoadFilter) {
      uses.AddSettingsInput(FileKeyOf(action.Text, STDIN_FILENO));
    } else if (action.What == K::SaveChain || action.What == K::SaveFilter) {
      // A settings file may be loaded, changed and saved back in place: that is not an overwrite of
      // the sound. Any other file that is not of the kind is replaced only when --force says so.
      const TFileKey key = FileKeyOf(action.Text, STDOUT_FILENO);
      if (const std::optional<std::string> refusal = uses.RefuseSave(key)) {
        throw TUsageError(*refusal);
      }
      const TSettingsKind kind = action.What == K::SaveChain ? TSettingsKind::Chain : TSettingsKind::Filter;
      if (!command.Force && key.HoldsOtherThanSettings(kind)) {
        throw TUsageError(NotSettingsFileText(key, kind) + "; чтобы перезаписать его, добавьте --force");
      }
      saves.push_back(key);
    }
  }
  const bool deviceInput = command.Input && command.Input->Family != TDeviceFamily::File;
  for (const TDeviceChoice& choice : command.Outputs) {
    if (choice.Family != TDeviceFamily::File) {
      continue;
    }
    const std::string& name = choice.FileName;
    if (name == "-" && console.StdoutIsTerminal) {
      throw TUsageError("Звук не выводится на терминал: направьте стандартный вывод в файл или канал");
    }
    const TFileKey key = FileKeyOf(name, STDOUT_FILENO);
    if (const std::optional<std::string> refusal = uses.RefuseOutput(key)) {
      throw TUsageError(*refusal);
    }
    for (const TFileKey& save : saves) {
      if (key.SameAs(save)) {
        throw TUsageError("Выходной файл " + ShownFileName(name, true) + " - это файл параметров " +
                          save.Name);
      }
    }
    if (key.Exists && key.Regular && name != "-" && !command.Force) {
      if (deviceInput) {
        throw TUsageError("Файл " + name +
                          " уже существует, а при входе с устройства все имена файлов - выходы; "
                          "чтобы перезаписать его, добавьте --force");
      }
      const TFileKind kind = FileKindOfName(name, command.OutType);
      if (key.HoldsOtherThan(kind)) {
        throw TUsageError("Файл " + name + " существует и не является файлом " + FileKindInfo(kind).Holder +
                          "; чтобы перезаписать его, добавьте --force");
      }
    }
    uses.AddOutput(key);
  }
}

void CheckOutputContainers(const TRenderCommand& command, const TWaveFormat& outputFormat) {
  for (const TDeviceChoice& choice : command.Outputs) {
    if (choice.Family != TDeviceFamily::File) {
      continue;
    }
    const TFileKind kind = FileKindOfName(choice.FileName, command.OutType);
    const std::string problem = FileOutputProblem(choice.FileName, kind, outputFormat);
    if (!problem.empty()) {
      throw TUsageError("Выходной файл " + ShownFileName(choice.FileName, true) + ": " + problem);
    }
  }
}

bool SoundGoesToStdout(const TRenderCommand& command) {
  const TFileKey stdoutKey = FileKeyOf("-", STDOUT_FILENO);
  for (const TDeviceChoice& choice : command.Outputs) {
    if (choice.Family == TDeviceFamily::File &&
        (choice.FileName == "-" ||
         (stdoutKey.Exists && FileKeyOf(choice.FileName, STDOUT_FILENO).SameAs(stdoutKey)))) {
      return true;
    }
  }
  return false;
}
