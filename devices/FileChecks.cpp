// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/FileChecks.h"

#include "devices/WaveFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <filesystem>

bool TFileKey::SameAs(const TFileKey& other) const {
  if (Exists != other.Exists) {
    return false;
  }
  return Exists ? Device == other.Device && Inode == other.Inode : Path == other.Path;
}

bool TFileKey::HoldsOtherThan(TFileKind kind) const {
  return Exists && Regular && Size > 0 && Name != "-" && !HoldsFileKind(Name, kind);
}

bool TFileKey::HoldsOtherThanSettings(TSettingsKind kind) const {
  return Exists && Regular && Size > 0 && Name != "-" && !HoldsSettingsFile(Name, kind);
}

std::string NotSettingsFileText(const TFileKey& key, TSettingsKind kind) {
  return "Файл " + key.Name + " существует и не является " + SettingsKindText(kind);
}

TFileKey FileKeyOf(const std::string& name, int standardFd) {
  TFileKey key;
  key.Name = name;
  struct stat st {};
  const int r = name == "-" ? ::fstat(standardFd, &st) : ::stat(name.c_str(), &st);
  if (r == 0) {
    key.Exists = true;
    key.Regular = S_ISREG(st.st_mode);
    key.Device = st.st_dev;
    key.Inode = st.st_ino;
    key.Size = st.st_size;
  } else {
    std::error_code error;
    key.Path = std::filesystem::weakly_canonical(std::filesystem::absolute(name, error), error).string();
  }
  return key;
}

std::string ShownFileName(const std::string& name, bool output) {
  if (name == "-") {
    return output ? "- (стандартный вывод)" : "- (стандартный ввод)";
  }
  return name;
}

std::string DeviceFileName(const TAudioDevice& device) {
  if (const auto* reader = dynamic_cast<const TWAVEFileRecordingDevice*>(&device)) {
    return reader->FileName();
  }
  if (const auto* writer = dynamic_cast<const TWAVEFilePlaybackDevice*>(&device)) {
    return writer->FileName();
  }
  return {};
}

namespace {

std::string Quoted(const std::string& name) {
  return "«" + name + "»";
}

// What stat's failure means for a name the user gave.
std::string Unreachable(const std::string& what, const std::string& name, int error) {
  if (error == ENOENT) {
    return what + " " + Quoted(name) + " не существует";
  }
  if (error == EACCES) {
    return "нет доступа к " + std::string(what == "файл" ? "файлу " : "папке ") + Quoted(name);
  }
  return what + " " + Quoted(name) + " недоступен" + (what == "файл" ? "" : "а") + ": " +
         std::strerror(error);
}

} // namespace

std::string InputFileProblem(const std::string& name) {
  if (name.empty()) {
    return "не выбран файл";
  }
  if (name == "-") {
    return {};
  }
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    return Unreachable("файл", name, errno);
  }
  if (S_ISDIR(st.st_mode)) {
    return Quoted(name) + " - это папка, а не файл";
  }
  if (::access(name.c_str(), R_OK) != 0) {
    return "нет прав на чтение файла " + Quoted(name);
  }
  return {};
}

std::string OutputFileProblem(const std::string& name) {
  if (name.empty()) {
    return "не задано имя файла";
  }
  if (name == "-") {
    return {};
  }
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      return Quoted(name) + " - это папка, а не файл";
    }
    if (::access(name.c_str(), W_OK) != 0) {
      return "нет прав на запись в файл " + Quoted(name);
    }
    return {};
  }
  std::error_code ignored;
  const std::filesystem::path full = std::filesystem::absolute(name, ignored);
  const std::string folder = full.parent_path().string();
  if (::stat(folder.c_str(), &st) != 0) {
    return Unreachable("папка", folder, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    return Quoted(folder) + " - это не папка";
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "нет прав на запись в папку " + Quoted(folder);
  }
  return {};
}

void TFileUses::AddInput(const TFileKey& key, bool elsewhere) {
  inputs.push_back({key, elsewhere, false});
}

void TFileUses::AddSettingsInput(const TFileKey& key) {
  inputs.push_back({key, false, true});
}

void TFileUses::AddOutput(const TFileKey& key, bool elsewhere) {
  outputs.push_back({key, elsewhere, false});
}

std::optional<std::string> TFileUses::RefuseOutput(const TFileKey& key) const {
  const std::string name = ShownFileName(key.Name, true);
  for (const TUse& input : inputs) {
    if (key.SameAs(input.Key)) {
      return "Выходной файл " + name + " - это входной файл " + ShownFileName(input.Key.Name, false) +
             (input.Elsewhere ? " другой обработки" : "") + ": он не будет перезаписан";
    }
  }
  for (const TUse& output : outputs) {
    if (key.SameAs(output.Key)) {
      const std::string other = ShownFileName(output.Key.Name, true);
      return output.Elsewhere ? "Выходной файл " + name +
                                    " уже записывается другой обработкой (тот же файл, что и " + other + ")"
                              : "Выходной файл " + name + " задан дважды (тот же файл, что и " + other + ")";
    }
  }
  return std::nullopt;
}

std::optional<std::string> TFileUses::RefuseSave(const TFileKey& key) const {
  const auto refusal = [&](const TUse& use, const char* what, bool output) {
    return "Файл параметров " + key.Name + " - это " + what + " " + ShownFileName(use.Key.Name, output) +
           (use.Elsewhere ? " другой обработки" : "") + ": он не будет перезаписан";
  };
  for (const TUse& input : inputs) {
    if (!input.Settings && key.SameAs(input.Key)) {
      return refusal(input, "входной файл", false);
    }
  }
  for (const TUse& output : outputs) {
    if (key.SameAs(output.Key)) {
      return refusal(output, "выходной файл", true);
    }
  }
  return std::nullopt;
}
