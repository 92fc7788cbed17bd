// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The checks that keep the program from destroying a file, made before anything is opened for
// writing, the same for the windows and the command line. A file is known by its device and inode
// whatever name reaches it (a link, "..", another spelling), or, while it does not exist, by its full
// path; "-" is the standard stream the caller names. An output is refused when it is an input (of
// this set-up or of another one still open) or when the same file is written twice; a settings file is
// never saved over a sound file that a set-up reads or writes, and replaces another file that is not a
// settings file of its kind only when the user says so.
//
// Threads: any; nothing here is shared between calls.

#include "devices/SoundFile.h"
#include "devices/VirtDevs.h"
#include "dsp/CRCStreams.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A file as the system knows it.
struct TFileKey {
  std::string Name; // as the user gave it
  bool Exists = false;
  bool Regular = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  off_t Size = 0;
  std::string Path; // the full path of a file that does not exist

  bool SameAs(const TFileKey& other) const;
  // An existing regular file with something in it that is not sound of the container `kind` writes
  // (RIFF/WAVE, FLAC, Ogg); a file that cannot be read counts as holding something else.
  bool HoldsOtherThan(TFileKind kind) const;
  // An existing regular file with something in it that is not a settings file of `kind`.
  bool HoldsOtherThanSettings(TSettingsKind kind) const;
};

// "Файл x.wav существует и не является файлом параметров фильтра (.flt)": what a save over such a file
// says before it asks (the windows) or before it asks for --force (the command line).
std::string NotSettingsFileText(const TFileKey& key, TSettingsKind kind);

// "-" is the standard stream `standardFd`; any other name is followed through symbolic links.
TFileKey FileKeyOf(const std::string& name, int standardFd);

// The name as the messages show it: "-" becomes the standard stream it stands for.
std::string ShownFileName(const std::string& name, bool output);

// The file a device reads or writes; empty for a sound device and for a file device without a name.
std::string DeviceFileName(const TAudioDevice& device);

// Why a file input cannot be read, in plain words ("файл «in.wav» не существует"), or empty when it
// can: no name, no such file, a folder, no right to read it. "-" (the standard input) passes.
std::string InputFileProblem(const std::string& name);
// Why an output file cannot be written, or empty: no name, a folder of that name, a folder to hold it
// that does not exist or may not be written into, an existing file that may not be written.
std::string OutputFileProblem(const std::string& name);

// The files of the set-ups of one program: what they read and write.
class TFileUses {
public:
  // A file read: a sound input. `elsewhere`: by another set-up.
  void AddInput(const TFileKey& key, bool elsewhere = false);
  // A settings file read (loaded, and perhaps saved back in place).
  void AddSettingsInput(const TFileKey& key);
  // A file written, after RefuseOutput found nothing against it.
  void AddOutput(const TFileKey& key, bool elsewhere = false);
  // Why `key` must not be written, or nothing: it is a file read, or one written already.
  std::optional<std::string> RefuseOutput(const TFileKey& key) const;
  // Why settings must not be saved to `key`, or nothing: it is a sound input or an output.
  std::optional<std::string> RefuseSave(const TFileKey& key) const;

private:
  struct TUse {
    TFileKey Key;
    bool Elsewhere = false;
    bool Settings = false;
  };
  std::vector<TUse> inputs;
  std::vector<TUse> outputs;
};
