#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks the direction of the #include lines of every C++ source: ui -> engine -> devices, filters -> dsp.

  scripts/check-layers.py [ROOT]

Layers by folder: dsp/ is the filter base, the chain and the settings files; filters/ the concrete
filters and their catalogue; devices/ (with devices/platform/) the devices; engine/ the engine;
ui/ (windows, displays, dialogs) the user interface; tools/ the command line, which sits on the
engine. A file may include its own layer and the layers below it; devices and filters stand side
by side on dsp and include neither each other, nor do ui and tools. Qt is for the user interface
only; the PulseAudio and ALSA headers are for their sound back-ends in devices/platform/ only, the
PipeWire and SPA headers for devices/platform/ only, and the lilv and LV2 headers for the plug-in
host in filters/lv2/ only. Tests, benchmarks and fuzz targets may include anything. Prints
file:line: reason for every violation and exits 1 if there is one.
"""

import os
import re
import sys

RANK = {"dsp": 0, "devices": 1, "filters": 1, "engine": 2, "tools": 3, "ui": 3}
# Layers of one rank that stand side by side: neither includes the other.
APART = {("devices", "filters"), ("filters", "devices"), ("ui", "tools"), ("tools", "ui")}
UI_FOLDERS = ("ui/",)
BACKENDS = ("devices/platform/Pulse", "devices/platform/Alsa")
PLUGIN_HOST = ("filters/lv2/",)
SOURCE_FOLDERS = ("dsp", "filters", "devices", "engine", "ui", "tools")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^(Q[A-Za-z]|Qt[A-Za-z]*/)")
SOUND_HEADER = re.compile(r"^(pulse/|alsa/|asoundlib\.h|sys/asoundlib\.h)")
GRAPH_HEADER = re.compile(r"^(pipewire/|spa/)")
PLATFORM_FOLDER = "devices/platform/"
PLUGIN_HEADER = re.compile(r"^(lilv/|lilv-0/|lv2/|lv2\.h$)")


def layer_of(path):
    """The layer of a path relative to the root, or None for files outside the layers."""
    if path.startswith(UI_FOLDERS):
        return "ui"
    if path.startswith("dsp/"):
        return "dsp"
    if path.startswith("filters/"):
        return "filters"
    if path.startswith("devices/"):
        return "devices"
    if path.startswith("engine/"):
        return "engine"
    if path.startswith("tools/"):
        return "tools"
    return None


def check_file(root, path):
    layer = layer_of(path)
    problems = []
    if layer is None:
        return problems
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            bracket, header = m.groups()
            where = f"{path}:{number}"
            if QT_HEADER.match(header) and layer != "ui":
                problems.append(f"{where}: {layer} includes Qt <{header}>; Qt belongs to the user interface")
                continue
            if SOUND_HEADER.match(header) and not path.startswith(BACKENDS):
                problems.append(f"{where}: includes <{header}>; only the sound back-ends in "
                                "devices/platform/ talk to PulseAudio or ALSA")
                continue
            if GRAPH_HEADER.match(header) and not path.startswith(PLATFORM_FOLDER):
                problems.append(f"{where}: includes <{header}>; only devices/platform/ talks to PipeWire")
                continue
            if PLUGIN_HEADER.match(header) and not path.startswith(PLUGIN_HOST):
                problems.append(f"{where}: includes <{header}>; only the plug-in host in "
                                "filters/lv2/ talks to lilv and LV2")
                continue
            if bracket != '"':
                continue
            target = layer_of(header)
            if target is None or target == layer:
                continue
            if RANK[target] > RANK[layer] or (layer, target) in APART:
                problems.append(f'{where}: {layer} includes "{header}" of the {target} layer '
                                "(ui -> engine -> devices, filters -> dsp)")
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = []
    files = 0
    for folder in SOURCE_FOLDERS:
        for base, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    files += 1
                    problems += check_file(root, os.path.relpath(os.path.join(base, name), root))
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) against the layers")
        return 1
    print(f"layers: {files} sources checked, every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
