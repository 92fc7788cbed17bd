// SPDX-License-Identifier: GPL-3.0-or-later
#include "filters/lv2/PluginHost.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/data-access/data-access.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/port-props/port-props.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/units/units.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

// Russian names of the classes of the LV2 core vocabulary; others keep the plug-in's own label.
constexpr std::pair<const char*, const char*> ClassNames[] = {
    {"EQPlugin", "Эквалайзер"},
    {"ParaEQPlugin", "Эквалайзер"},
    {"MultiEQPlugin", "Эквалайзер"},
    {"DynamicsPlugin", "Динамика"},
    {"CompressorPlugin", "Компрессор"},
    {"LimiterPlugin", "Лимитер"},
    {"GatePlugin", "Гейт"},
    {"ExpanderPlugin", "Экспандер"},
    {"EnvelopePlugin", "Огибающая"},
    {"ReverbPlugin", "Реверберация"},
    {"DelayPlugin", "Задержка"},
    {"FilterPlugin", "Фильтр"},
    {"LowpassPlugin", "Фильтр"},
    {"HighpassPlugin", "Фильтр"},
    {"BandpassPlugin", "Фильтр"},
    {"CombPlugin", "Фильтр"},
    {"AllpassPlugin", "Фильтр"},
    {"ModulatorPlugin", "Модуляция"},
    {"ChorusPlugin", "Хор"},
    {"FlangerPlugin", "Флэнжер"},
    {"PhaserPlugin", "Фазер"},
    {"DistortionPlugin", "Искажение"},
    {"WaveshaperPlugin", "Искажение"},
    {"SpectralPlugin", "Спектр"},
    {"PitchPlugin", "Высота тона"},
    {"AmplifierPlugin", "Усилитель"},
    {"UtilityPlugin", "Служебный"},
    {"ConverterPlugin", "Преобразователь"},
    {"MixerPlugin", "Микшер"},
    {"FunctionPlugin", "Функция"},
    {"ConstantPlugin", "Константа"},
    {"SpatialPlugin", "Пространство"},
    {"SimulatorPlugin", "Имитация"},
    {"AnalyserPlugin", "Анализатор"},
    {"GeneratorPlugin", "Генератор"},
    {"OscillatorPlugin", "Генератор"},
    {"InstrumentPlugin", "Инструмент"},
    {"Plugin", "Прочее"},
};

constexpr std::pair<const char*, TUnit> Units[] = {
    {LV2_UNITS__hz, TUnit::Hertz},        {LV2_UNITS__khz, TUnit::Kilohertz},
    {LV2_UNITS__ms, TUnit::Milliseconds}, {LV2_UNITS__s, TUnit::Seconds},
    {LV2_UNITS__db, TUnit::Decibels},     {LV2_UNITS__pc, TUnit::Percent},
    {LV2_UNITS__frame, TUnit::Samples},   {LV2_UNITS__semitone12TET, TUnit::Semitones},
    {LV2_UNITS__cent, TUnit::Cents},      {LV2_UNITS__oct, TUnit::Octaves},
};

// Required features Sonolab gives (the last three need no data: they are properties that some
// plug-ins list as features).
constexpr const char* GivenFeatures[] = {
    LV2_URID__map,    LV2_URID__unmap,         LV2_OPTIONS__options,   LV2_BUF_SIZE__boundedBlockLength,
    LV2_CORE__isLive, LV2_CORE__hardRTCapable, LV2_CORE__inPlaceBroken};

// What a feature Sonolab does not give is for, in words, for the groups the refusals name.
std::string FeatureKind(const std::string& uri) {
  if (uri.rfind(LV2_WORKER_PREFIX, 0) == 0) {
    return " (фоновые задачи модуля, worker)";
  }
  if (uri.rfind(LV2_STATE_PREFIX, 0) == 0) {
    return " (сохранение состояния модуля, state)";
  }
  if (uri.rfind(LV2_UI_PREFIX, 0) == 0 || uri.rfind(LV2_INSTANCE_ACCESS_URI, 0) == 0 ||
      uri.rfind(LV2_DATA_ACCESS_URI, 0) == 0) {
    return " (только для окна модуля, UI)";
  }
  return {};
}

// A lilv node made here and freed at the end of scope.
class TNode {
public:
  explicit TNode(LilvNode* node) : node(node) {}
  ~TNode() { lilv_node_free(node); }
  TNode(const TNode&) = delete;
  TNode& operator=(const TNode&) = delete;
  const LilvNode* get() const { return node; }
  explicit operator bool() const { return node != nullptr; }

private:
  LilvNode* node;
};

bool NumberOf(const LilvNode* node, float& value) {
  if (node == nullptr || !(lilv_node_is_float(node) || lilv_node_is_int(node))) {
    return false;
  }
  value = lilv_node_as_float(node);
  return std::isfinite(value);
}

} // namespace

std::string MissingPluginMessage(std::string_view uri) {
  return "Модуль LV2 не установлен: " + std::string(uri);
}

std::string RefusedPluginMessage(const TPluginInfo& plugin) {
  return "Модуль LV2 «" + plugin.Name + "» (" + plugin.Uri + ") не подходит: " + plugin.Refusal;
}

struct TPluginHost::TImpl {
  ~TImpl() {
    if (world != nullptr) {
      lilv_world_free(world);
    }
  }

  LV2_URID Map(const char* uri) {
    const std::lock_guard guard(uridLock);
    const auto [at, added] = ids.try_emplace(uri, static_cast<LV2_URID>(names.size() + 1));
    if (added) {
      names.push_back(at->first.c_str());
    }
    return at->second;
  }
  const char* Unmap(LV2_URID id) {
    const std::lock_guard guard(uridLock);
    return id >= 1 && id <= names.size() ? names[id - 1] : nullptr;
  }

  void Scan(); // with the lock held
  TPluginInfo Describe(const LilvPlugin* plugin);

  std::mutex lock; // the world and the list
  std::string searchPath;
  LilvWorld* world = nullptr;
  bool scanned = false;
  std::vector<std::shared_ptr<const TPluginInfo>> plugins;
  std::map<std::string, std::shared_ptr<const TPluginInfo>, std::less<>> byUri;

  std::mutex uridLock;
  std::unordered_map<std::string, LV2_URID> ids; // node-based: the keys stay where they are
  std::vector<const char*> names;                // URID - 1 -> URI
  LV2_URID_Map map{this,
                   [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<TImpl*>(h)->Map(uri); }};
  LV2_URID_Unmap unmap{
      this, [](LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<TImpl*>(h)->Unmap(id); }};
};

TPluginInfo TPluginHost::TImpl::Describe(const LilvPlugin* plugin) {
  TPluginInfo info;
  info.Uri = lilv_node_as_uri(lilv_plugin_get_uri(plugin));
  if (const TNode name(lilv_plugin_get_name(plugin)); name) {
    info.Name = lilv_node_as_string(name.get());
  }
  if (info.Name.empty()) {
    info.Name = info.Uri;
  }
  const LilvPluginClass* type = lilv_plugin_get_class(plugin);
  const std::string classUri = type != nullptr ? lilv_node_as_uri(lilv_plugin_class_get_uri(type)) : "";
  for (const auto& [suffix, text] : ClassNames) {
    if (classUri == std::string(LV2_CORE_PREFIX) + suffix) {
      info.ClassName = text;
    }
  }
  if (info.ClassName.empty() && type != nullptr) {
    info.ClassName = lilv_node_as_string(lilv_plugin_class_get_label(type));
  }

  const TNode inputPort(lilv_new_uri(world, LV2_CORE__InputPort));
  const TNode outputPort(lilv_new_uri(world, LV2_CORE__OutputPort));
  const TNode audioPort(lilv_new_uri(world, LV2_CORE__AudioPort));
  const TNode controlPort(lilv_new_uri(world, LV2_CORE__ControlPort));
  const TNode cvPort(lilv_new_uri(world, LV2_CORE__CVPort));
  const TNode optional(lilv_new_uri(world, LV2_CORE__connectionOptional));
  const TNode integer(lilv_new_uri(world, LV2_CORE__integer));
  const TNode toggled(lilv_new_uri(world, LV2_CORE__toggled));
  const TNode enumeration(lilv_new_uri(world, LV2_CORE__enumeration));
  const TNode sampleRate(lilv_new_uri(world, LV2_CORE__sampleRate));
  const TNode logarithmic(lilv_new_uri(world, LV2_PORT_PROPS__logarithmic));
  const TNode unit(lilv_new_uri(world, LV2_UNITS__unit));

  std::string refusal;
  const auto refuse = [&](std::string why) {
    if (refusal.empty()) {
      refusal = std::move(why);
    }
  };
  info.PortCount = lilv_plugin_get_num_ports(plugin);
  for (uint32_t i = 0; i < info.PortCount; ++i) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
    const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
    const bool input = lilv_port_is_a(plugin, port, inputPort.get());
    const bool output = lilv_port_is_a(plugin, port, outputPort.get());
    if (lilv_port_is_a(plugin, port, audioPort.get()) && (input || output)) {
      (input ? info.AudioInputs : info.AudioOutputs).push_back(i);
    } else if (lilv_port_is_a(plugin, port, controlPort.get()) && output) {
      info.ControlOutputs.push_back(i);
    } else if (lilv_port_is_a(plugin, port, controlPort.get()) && input) {
      TControlPort c;
      c.Index = i;
      c.Symbol = symbol;
      if (const TNode name(lilv_port_get_name(plugin, port)); name) {
        c.Name = lilv_node_as_string(name.get());
      }
      if (c.Name.empty()) {
        c.Name = symbol;
      }
      LilvNode* def = nullptr;
      LilvNode* min = nullptr;
      LilvNode* max = nullptr;
      lilv_port_get_range(plugin, port, &def, &min, &max);
      c.HasDefault = NumberOf(def, c.Default);
      c.HasMinimum = NumberOf(min, c.Minimum);
      c.HasMaximum = NumberOf(max, c.Maximum);
      lilv_node_free(def);
      lilv_node_free(min);
      lilv_node_free(max);
      c.Integer = lilv_port_has_property(plugin, port, integer.get());
      c.Toggled = lilv_port_has_property(plugin, port, toggled.get());
      c.Enumeration = lilv_port_has_property(plugin, port, enumeration.get());
      c.RateRelative = lilv_port_has_property(plugin, port, sampleRate.get());
      c.Logarithmic = lilv_port_has_property(plugin, port, logarithmic.get());
      if (const TNode u(lilv_port_get(plugin, port, unit.get())); u && lilv_node_is_uri(u.get())) {
        for (const auto& [uri, value] : Units) {
          if (std::string(lilv_node_as_uri(u.get())) == uri) {
            c.Unit = value;
          }
        }
      }
      if (LilvScalePoints* points = lilv_port_get_scale_points(plugin, port)) {
        LILV_FOREACH(scale_points, it, points) {
          const LilvScalePoint* point = lilv_scale_points_get(points, it);
          TControlPort::TScalePoint p;
          if (NumberOf(lilv_scale_point_get_value(point), p.Value)) {
            p.Label = lilv_node_as_string(lilv_scale_point_get_label(point));
            c.ScalePoints.push_back(std::move(p));
          }
        }
        lilv_scale_points_free(points);
        std::stable_sort(c.ScalePoints.begin(), c.ScalePoints.end(),
                         [](const auto& a, const auto& b) { return a.Value < b.Value; });
      }
      if (c.HasMinimum && c.HasMaximum && c.Minimum > c.Maximum) {
        refuse("у порта «" + symbol + "» нижняя граница выше верхней");
      }
      info.Controls.push_back(std::move(c));
    } else if (lilv_port_has_property(plugin, port, optional.get())) {
      // Left unconnected, as the plug-in allows.
    } else if (lilv_port_is_a(plugin, port, cvPort.get())) {
      refuse("порт управляющего сигнала (CV) «" + symbol + "»");
    } else {
      refuse("порт событий «" + symbol + "»: модулем управляют сообщениями");
    }
  }
  if (info.AudioInputs.empty() || info.AudioInputs.size() > 2) {
    refuse("входов звука " + std::to_string(info.AudioInputs.size()) + " (нужно 1 или 2)");
  }
  if (info.AudioOutputs.empty() || info.AudioOutputs.size() > 2) {
    refuse("выходов звука " + std::to_string(info.AudioOutputs.size()) + " (нужно 1 или 2)");
  }
  if (LilvNodes* required = lilv_plugin_get_required_features(plugin)) {
    LILV_FOREACH(nodes, it, required) {
      const std::string feature = lilv_node_as_string(lilv_nodes_get(required, it));
      if (std::none_of(std::begin(GivenFeatures), std::end(GivenFeatures),
                       [&](const char* given) { return feature == given; })) {
        refuse("требует возможность, которой Sonolab не даёт: " + feature + FeatureKind(feature));
      }
    }
    lilv_nodes_free(required);
  }
  if (info.Controls.empty()) {
    refuse("нет параметров на портах управления");
  }
  if (lilv_plugin_has_latency(plugin)) {
    info.LatencyPort = lilv_plugin_get_latency_port_index(plugin);
  }
  info.Refusal = refusal;
  return info;
}

void TPluginHost::TImpl::Scan() {
  if (scanned) {
    return;
  }
  scanned = true;
  world = lilv_world_new();
  if (world == nullptr) {
    return;
  }
  if (!searchPath.empty()) {
    LilvNode* path = lilv_new_string(world, searchPath.c_str());
    lilv_world_set_option(world, LILV_OPTION_LV2_PATH, path);
    lilv_node_free(path);
  }
  lilv_world_load_all(world);
  const LilvPlugins* all = lilv_world_get_all_plugins(world);
  LILV_FOREACH(plugins, it, all) {
    auto info = std::make_shared<const TPluginInfo>(Describe(lilv_plugins_get(all, it)));
    if (byUri.emplace(info->Uri, info).second) {
      plugins.push_back(std::move(info));
    }
  }
  std::stable_sort(plugins.begin(), plugins.end(), [](const auto& a, const auto& b) {
    return std::lexicographical_compare(a->Name.begin(), a->Name.end(), b->Name.begin(), b->Name.end(),
                                        [](char x, char y) { return std::tolower(x) < std::tolower(y); });
  });
}

TPluginHost::TPluginHost(std::string searchPath) : impl(std::make_shared<TImpl>()) {
  impl->searchPath = std::move(searchPath);
}

TPluginHost::~TPluginHost() = default;

const std::vector<std::shared_ptr<const TPluginInfo>>& TPluginHost::Plugins() {
  const std::lock_guard guard(impl->lock);
  impl->Scan();
  return impl->plugins;
}

std::shared_ptr<const TPluginInfo> TPluginHost::Find(std::string_view uri) {
  const std::lock_guard guard(impl->lock);
  impl->Scan();
  const auto at = impl->byUri.find(uri);
  return at != impl->byUri.end() ? at->second : nullptr;
}

// ---- Instances -------------------------------------------------------------------------------------

struct TPluginInstance::TImpl {
  std::shared_ptr<TPluginHost::TImpl> host; // its world frees the plug-in's library
  LilvInstance* instance = nullptr;
  bool active = false;
  // What the plug-in is told, and may keep pointers into for its life.
  int32_t minBlock = 1;
  int32_t maxBlock = static_cast<int32_t>(TPluginHost::MaxRunFrames);
  float rate = 0.0f;
  std::array<LV2_Options_Option, 4> options{};
  LV2_Feature mapFeature{LV2_URID__map, nullptr};
  LV2_Feature unmapFeature{LV2_URID__unmap, nullptr};
  LV2_Feature optionsFeature{LV2_OPTIONS__options, nullptr};
  LV2_Feature boundedFeature{LV2_BUF_SIZE__boundedBlockLength, nullptr};
  std::array<const LV2_Feature*, 5> features{};
};

TPluginInstance::TPluginInstance(std::unique_ptr<TImpl> impl) : impl(std::move(impl)) {}

TPluginInstance::~TPluginInstance() {
  if (impl->active) {
    lilv_instance_deactivate(impl->instance);
  }
  const std::lock_guard guard(impl->host->lock);
  lilv_instance_free(impl->instance);
}

void TPluginInstance::ConnectPort(uint32_t index, void* data) {
  lilv_instance_connect_port(impl->instance, index, data);
}

void TPluginInstance::Activate() {
  lilv_instance_activate(impl->instance);
  impl->active = true;
}

void TPluginInstance::Run(uint32_t frames) {
  lilv_instance_run(impl->instance, frames);
}

std::unique_ptr<TPluginInstance> TPluginHost::Instantiate(const TPluginInfo& plugin, double sampleRate) {
  auto made = std::make_unique<TPluginInstance::TImpl>();
  TPluginInstance::TImpl& i = *made;
  i.host = impl;
  i.rate = static_cast<float>(sampleRate);
  const LV2_URID atomInt = impl->Map(LV2_ATOM__Int);
  const LV2_URID atomFloat = impl->Map(LV2_ATOM__Float);
  i.options = {{
      {LV2_OPTIONS_INSTANCE, 0, impl->Map(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), atomInt,
       &i.minBlock},
      {LV2_OPTIONS_INSTANCE, 0, impl->Map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), atomInt,
       &i.maxBlock},
      {LV2_OPTIONS_INSTANCE, 0, impl->Map(LV2_PARAMETERS__sampleRate), sizeof(float), atomFloat, &i.rate},
      {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
  }};
  i.mapFeature.data = &impl->map;
  i.unmapFeature.data = &impl->unmap;
  i.optionsFeature.data = i.options.data();
  i.features = {&i.mapFeature, &i.unmapFeature, &i.optionsFeature, &i.boundedFeature, nullptr};

  const std::lock_guard guard(impl->lock);
  impl->Scan();
  if (impl->world == nullptr) {
    return nullptr;
  }
  const LilvPlugins* all = lilv_world_get_all_plugins(impl->world);
  const TNode uri(lilv_new_uri(impl->world, plugin.Uri.c_str()));
  const LilvPlugin* found = all != nullptr && uri ? lilv_plugins_get_by_uri(all, uri.get()) : nullptr;
  if (found == nullptr) {
    return nullptr;
  }
  i.instance = lilv_plugin_instantiate(found, sampleRate, i.features.data());
  if (i.instance == nullptr) {
    return nullptr;
  }
  return std::unique_ptr<TPluginInstance>(new TPluginInstance(std::move(made)));
}
