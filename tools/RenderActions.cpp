// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderActions.h"

#include "dsp/CRCStreams.h"
#include "dsp/FilterError.h"
#include "filters/lv2/PluginSlot.h"
#include "tools/ChainCommands.h"

#include <cstring>
#include <string>

namespace {

// The file of a settings-file action; empty for the others.
std::string FileOfAction(const TRenderAction& action) {
  using K = TRenderAction::Kind;
  switch (action.What) {
  case K::Chain:
  case K::LoadFilter:
  case K::SaveChain:
  case K::SaveFilter:
    return action.Text;
  default:
    return {};
  }
}

} // namespace

void RunChainAction(const TRenderAction& action, TFilterList& chain,
                    const std::shared_ptr<TPluginHost>& plugins, std::ostream& out) {
  using K = TRenderAction::Kind;
  auto slot = [&]() -> TFilter& {
    if (action.Slot >= chain.Count()) {
      throw TUsageError("В цепочке нет фильтра в позиции " + std::to_string(action.Slot) +
                        (chain.Count() == 0
                             ? std::string(" (цепочка пуста)")
                             : " (позиции от 0 до " + std::to_string(chain.Count() - 1) + ")"));
    }
    return *chain.Item(action.Slot);
  };
  try {
    switch (action.What) {
    case K::Chain:
      LoadChainFile(chain, action.Text, PluginAwareFactory(plugins));
      break;
    case K::Add:
      AddFilterFromText(chain, action.Text);
      break;
    case K::AddPlugin:
      AddPluginFromUri(chain, plugins, action.Text);
      break;
    case K::Set:
      SetParametersFromText(slot(), action.Text);
      break;
    case K::Disable:
      slot();
      chain.SetEnabled(action.Slot, false);
      break;
    case K::LoadFilter:
      LoadFilterFile(slot(), action.Text);
      break;
    case K::SaveChain:
      SaveChainFile(chain, action.Text);
      break;
    case K::SaveFilter:
      SaveFilterFile(slot(), action.Text);
      break;
    case K::Print:
      PrintChain(chain, out);
      break;
    case K::Response:
      PrintResponse(chain, out);
      break;
    }
  } catch (const TFilterError& e) {
    const std::string file = FileOfAction(action);
    if (file.empty()) {
      throw;
    }
    std::string text = std::string(e.what()) + " Файл \"" + file + "\"";
    if (e.SystemError() != 0 && ::strerrordesc_np(e.SystemError()) != nullptr) {
      text += std::string(": ") + ::strerrordesc_np(e.SystemError());
    }
    throw TFilterError(text, e.SystemError());
  }
}
