// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The LV2 plug-ins the tests use: those of Debian's swh-lv2 and mda-lv2 (install-deps.sh installs
// them), and tests/support/lv2, a bundle of the tests' own that holds a plug-in Sonolab must refuse.
//
// Threads: any.

#include "filters/lv2/PluginHost.h"

#include <memory>
#include <string>

namespace sonotest {

// The system's folders, then the tests' bundle; for sonolab-render, as LV2_PATH.
inline const std::string TestPluginPath =
    std::string("/usr/local/lib/lv2:/usr/lib/lv2:") + SONOLAB_SOURCE_DIR + "/tests/support/lv2";

inline constexpr const char* AmpUri = "http://plugin.org.uk/swh-plugins/amp";        // mono, gain in dB
inline constexpr const char* LimiterUri = "http://drobilla.net/plugins/mda/Limiter"; // stereo, a choice
inline constexpr const char* StereoUri = "http://drobilla.net/plugins/mda/Stereo";   // stereo from mono
inline constexpr const char* LatencyUri =
    "http://plugin.org.uk/swh-plugins/artificialLatency";                      // reports latency
inline constexpr const char* NeedsWorkerUri = "urn:sonolab:test:needs-worker"; // refused
inline constexpr const char* AbsentUri = "urn:sonolab:test:absent";            // not installed

inline std::shared_ptr<TPluginHost> TestPlugins() {
  return std::make_shared<TPluginHost>(TestPluginPath);
}

} // namespace sonotest
