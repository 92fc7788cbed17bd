// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of sonolab-render: options are kept in the order given and applied in that order.
// Positional names are files: with a file input the first is the input and the rest are outputs;
// with a device input (--apps, --capture, --pw-capture, --wave-in) every one is an output. "-" is standard
// input as the input and standard output as an output.

#include "devices/SoundFile.h"

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// A usage error: the program prints the message and a pointer to --help and exits with status 2.
class TUsageError : public std::runtime_error {
public:
  explicit TUsageError(const std::string& message) : std::runtime_error(message) {}
};

struct TRenderAction {
  enum class Kind { Chain, Add, AddPlugin, Set, Disable, LoadFilter, SaveChain, SaveFilter, Print, Response };
  Kind What;
  std::string Text; // file name, the text of --add or --set, or the URI of --add-lv2
  int Slot = -1;
};

enum class TDeviceFamily { File, Apps, Ring, Graph, WaveAudio };

struct TDeviceChoice {
  TDeviceFamily Family = TDeviceFamily::File;
  int Index = -1;       // within the family, for devices
  std::string FileName; // for files; "-" for a standard stream; the sink's description for Apps
};

// How the end of a render is reported: the summary line, the same as one JSON object, or nothing.
enum class TSummaryStyle { Text, Json, None };

struct TRenderCommand {
  bool Help = false;
  bool Version = false;
  bool ListDevices = false;
  bool ListFormats = false;
  bool ListPlugins = false; // the installed LV2 plug-ins (--verbose: with those left out, and why)
  bool Force = false;       // existing files may be overwritten (never an input)
  bool Verbose = false;     // how the worker is scheduled, and what input was lost, on standard error
  int Rate = 44100;
  std::optional<TDeviceChoice> Input;
  bool MakeDefault = false; // --make-default: the --apps sink is the desktop's default while the render runs
  std::vector<TDeviceChoice> Outputs;
  std::optional<int> InFormat;  // table entry of a device input
  std::optional<int> OutFormat; // table entry of every output
  std::optional<double> Seconds;
  double TailSeconds = 0;  // silence fed after the end of a file input
  int32_t BlockFrames = 0; // the set-up's block: 0 for the block-size rule, else one of BlockFramesChoices
  std::vector<TRenderAction> Actions;
  // The kind of the file outputs whose names do not end in .wav, .flac, .ogg or .opus ("-" too).
  TFileKind OutType = TFileKind::Wave;
  // Batch use: no progress and no note on a converted input; the summary only if asked for.
  bool Quiet = false;
  std::optional<TSummaryStyle> Summary;
};

inline constexpr const char* RenderVersion = "0.1";
// The highest rate --rate takes: the reader's own limit.
inline constexpr int MaxRenderRate = 1000000;

TRenderCommand ParseRenderArguments(const std::vector<std::string>& args);
// The text of --help; its lists (the filter types, the equaliser's gains, the format numbers, the block
// sizes) and its ranges are read from the tables that hold them.
extern const std::string RenderUsage;
// A usage error as the program prints it: its one line and where the help is.
void PrintUsageError(const TUsageError& error, std::ostream& err);
