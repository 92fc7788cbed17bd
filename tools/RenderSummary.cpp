// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderSummary.h"

#include "devices/FileChecks.h"

#include <cstdio>

namespace {

std::string InputName(const TDeviceChoice& choice) {
  switch (choice.Family) {
  case TDeviceFamily::Apps:
    return "--apps " + choice.FileName;
  case TDeviceFamily::Ring:
    return "--capture " + std::to_string(choice.Index);
  case TDeviceFamily::Graph:
    return "--pw-capture " + std::to_string(choice.Index);
  case TDeviceFamily::WaveAudio:
    return "--wave-in " + std::to_string(choice.Index);
  case TDeviceFamily::File:
    break;
  }
  return choice.FileName;
}

// A JSON string: quotes, backslashes and control characters escaped; other bytes (UTF-8) as they are.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

} // namespace

std::string OutputName(const TDeviceChoice& choice) {
  switch (choice.Family) {
  case TDeviceFamily::Ring:
    return "--play " + std::to_string(choice.Index);
  case TDeviceFamily::Graph:
    return "--pw-play " + std::to_string(choice.Index);
  case TDeviceFamily::WaveAudio:
    return "--wave-out " + std::to_string(choice.Index);
  case TDeviceFamily::Apps: // an input only
  case TDeviceFamily::File:
    break;
  }
  return ShownFileName(choice.FileName, true);
}

void ReportRender(const TRenderCommand& command, const TRenderFigures& figures, int status,
                  std::ostream& text, std::ostream& err) {
  const double seconds = static_cast<double>(figures.Frames) / figures.Rate;
  const double meanMs =
      figures.Blocks > 0 ? figures.TotalNs / 1e6 / static_cast<double>(figures.Blocks) : 0.0;
  if (figures.Clipped > 0) {
    const double samples = static_cast<double>(figures.Frames) * figures.Channels;
    char warning[256];
    std::snprintf(warning, sizeof warning,
                  "Предупреждение: %llu отсчётов (%.2f %%) вышли за пределы формата и ограничены; уменьшите "
                  "усиление цепочки\n",
                  static_cast<unsigned long long>(figures.Clipped),
                  samples > 0 ? 100.0 * static_cast<double>(figures.Clipped) / samples : 0.0);
    err << warning;
  }
  const TSummaryStyle style =
      command.Summary.value_or(command.Quiet ? TSummaryStyle::None : TSummaryStyle::Text);
  if (style == TSummaryStyle::None) {
    return;
  }
  char line[320];
  std::snprintf(
      line, sizeof line,
      style == TSummaryStyle::Json
          ? "\"blocks\":%lld,\"frames\":%lld,\"seconds\":%.3f,\"mean_ms\":%.3f,\"max_ms\":%.3f,"
            "\"realtime\":%.1f,\"clipped\":%llu,\"dropouts\":%llu"
          : "blocks=%lld frames=%lld seconds=%.3f mean_ms=%.3f max_ms=%.3f realtime=%.1f clipped=%llu "
            "dropouts=%llu",
      static_cast<long long>(figures.Blocks), static_cast<long long>(figures.Frames), seconds, meanMs,
      static_cast<double>(figures.MaxNs) / 1e6, figures.WallSeconds > 0 ? seconds / figures.WallSeconds : 0.0,
      static_cast<unsigned long long>(figures.Clipped), static_cast<unsigned long long>(figures.Dropouts));
  if (style == TSummaryStyle::Json) {
    std::string names;
    for (const TDeviceChoice& choice : command.Outputs) {
      const std::string name = choice.Family == TDeviceFamily::File ? choice.FileName : OutputName(choice);
      names += (names.empty() ? "" : ",") + JsonString(name);
    }
    text << "{\"input\":" << JsonString(InputName(*command.Input)) << ",\"outputs\":[" << names
         << "],\"status\":" << status << ',' << line << "}\n";
  } else {
    text << line << '\n';
  }
  text.flush();
}
