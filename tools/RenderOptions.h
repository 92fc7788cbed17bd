#pragma once
// The command line of sonolab-render: options are kept in the order given and applied in that order.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A usage error: the program prints the message and the usage text and exits with status 2.
class TUsageError : public std::runtime_error {
public:
  explicit TUsageError(const std::string& message) : std::runtime_error(message) {}
};

struct TRenderAction {
  enum class Kind { Chain, Add, Disable, LoadFilter, SaveChain, SaveFilter, Print, Response };
  Kind What;
  std::string Text; // file name, or the text of --add
  int Slot = -1;
};

enum class TDeviceFamily { File, Ring, WaveAudio };

struct TDeviceChoice {
  TDeviceFamily Family = TDeviceFamily::File;
  int Index = -1;       // within the family, for devices
  std::string FileName; // for files
};

struct TRenderCommand {
  bool Help = false;
  bool ListDevices = false;
  int Rate = 44100;
  std::optional<TDeviceChoice> Input;
  std::vector<TDeviceChoice> Outputs;
  std::optional<int> InFormat;  // table entry of a device input
  std::optional<int> OutFormat; // table entry of every output
  std::optional<double> Seconds;
  std::vector<TRenderAction> Actions;
};

TRenderCommand ParseRenderArguments(const std::vector<std::string>& args);
extern const char* const RenderUsage;
