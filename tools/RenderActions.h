// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chain actions of a render's command line, run in the order given: load a chain or a filter,
// add a filter from text, switch a slot off, save, print the chain or its response. A slot the chain
// does not have is a usage error; a settings-file action that fails names its file, and when a file
// call failed (opening, creating, writing, syncing, renaming), the system's words for why.
//
// Threads: the thread that runs the command, before the worker starts.

#include "dsp/FilterList.h"
#include "tools/RenderOptions.h"

#include <memory>
#include <ostream>

class TPluginHost;

// Plug-in slots (a chain file's, --add-lv2) are made from `plugins`.
void RunChainAction(const TRenderAction& action, TFilterList& chain,
                    const std::shared_ptr<TPluginHost>& plugins, std::ostream& out);
