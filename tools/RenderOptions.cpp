// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/RenderOptions.h"

#include "devices/AudioFormats.h"
#include "devices/DirectSoundDevices.h"
#include "devices/VirtDevs.h"
#include "dsp/FilterList.h"
#include "filters/FilterCatalogue.h"
#include "filters/MultiBandFilter.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

// Where a line of the help ends at the latest, in characters, and where its descriptions start.
constexpr size_t HelpWidth = 96;
constexpr size_t HelpIndent = 26;

// "от 0 до 35"
std::string FromTo(int lowest, int highest) {
  return "от " + std::to_string(lowest) + " до " + std::to_string(highest);
}

// Characters, not bytes, of a UTF-8 text.
size_t Characters(const std::string& utf8) {
  return static_cast<size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The words of `text` on lines of at most HelpWidth characters, each after HelpIndent spaces.
std::string Wrapped(const std::string& text) {
  const std::string indent(HelpIndent, ' ');
  std::string lines;
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find(' ', start), text.size());
    const std::string word = text.substr(start, end - start);
    if (!line.empty() && HelpIndent + Characters(line) + 1 + Characters(word) > HelpWidth) {
      lines += indent + line + '\n';
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  return lines + indent + line + '\n';
}

// "0 нижних частот, 1 верхних частот, ..."
std::string TypeList() {
  std::string list;
  for (const TFilterDescriptor* type : FilterCatalogue) {
    list += (list.empty() ? "" : ", ") + std::to_string(type->Type) + " " + type->ShortName;
  }
  return list;
}

std::string Usage() {
  const TParameterDescription& gains = *MultiBandDescriptor.Parameters.front(); // its one parameter
  std::string text = R"(Использование:
  sonolab-render [ПАРАМЕТРЫ] ВХОД [ВЫХОД ...]
  sonolab-render [ПАРАМЕТРЫ] --capture I | --pw-capture I | --wave-in I [ВЫХОД ...]
  sonolab-render [ПАРАМЕТРЫ] --apps [ИМЯ] [--make-default] [ВЫХОД ...]
  sonolab-render [ПАРАМЕТРЫ]

Обрабатывает звук цепочкой фильтров: из звукового файла или устройства записи в файлы
и устройства воспроизведения. Без входа работает только с цепочкой и файлами параметров.
Параметры выполняются в том порядке, в каком заданы.

Входы и выходы:
  Со входом из файла первое имя файла - вход, остальные - выходы. Со входом с устройства
  (--apps, --capture, --pw-capture, --wave-in) все имена файлов - выходы. Имя "-" - стандартный ввод
  как вход и стандартный вывод как выход (тогда итоговая строка и всё, что выводят --print
  и --response, идут в стандартный поток ошибок). Файл, который читается (вход, --chain,
  --load-filter), никогда не перезаписывается. Существующий файл перезаписывается только если
  в нём звук того вида, что записывается (WAVE, FLAC, Ogg), и вход - файл; иначе нужен --force.
  Вход - файл WAVE, FLAC, Ogg Vorbis, Opus, MP3, AIFF, AU, CAF, W64, RF64 и других форматов
  libsndfile (со стандартного ввода - только WAVE). Выход с именем на .flac, .ogg или .opus
  записывается в этом формате, остальные - в формате WAVE (или в формате --out-type).

Цепочка и параметры фильтров:
)";
  text += "  --rate ГЦ               частота дискретизации цепочки без входа (1.." +
          std::to_string(MaxRenderRate) + ", по умолчанию 44100;\n";
  text += R"(                          с входом действует частота входа)
  --chain ФАЙЛ.lst        загрузить цепочку, заменив текущую
  --add ТИП[:ИМЯ=ЗНАЧ[,ИМЯ=ЗНАЧ...]]
)";
  text += Wrapped("добавить включённый фильтр типа ТИП и задать его параметры: " + TypeList());
  text += "                          (имена без учёта регистра; целые для int32, десятичные с точкой для\n";
  text += "                          double; " + std::string(gains.Name) + "=g0/g1/.../g" +
          std::to_string(gains.Count - 1) + " - " + std::to_string(gains.Count) +
          " линейных коэффициентов полос;\n";
  text += R"(                          "--add ТИП --print" показывает имена и значения по умолчанию)
  --add-lv2 URI           добавить включённый модуль LV2 (см. --list-lv2) с параметрами по умолчанию
  --set I ИМЯ=ЗНАЧ[,ИМЯ=ЗНАЧ...]
                          задать параметры фильтра в позиции I (у модуля LV2 имена - символы его
                          портов управления)
  --list-lv2              вывести установленные модули LV2, которые можно добавить: URI и название
                          через табуляцию (с --verbose - и класс, и пропущенные модули с причиной)
  --disable I             выключить фильтр в позиции I
  --load-filter I ФАЙЛ.flt
                          загрузить параметры фильтра в позицию I
  --save-chain ФАЙЛ.lst   сохранить цепочку
  --save-filter I ФАЙЛ.flt
                          сохранить параметры фильтра в позиции I
  --print                 вывести цепочку: позиция, название, on/off, задержка модуля LV2 в отсчётах
                          (если он её сообщает), ИМЯ=ЗНАЧ через табуляцию
  --response              вывести АЧХ включённых фильтров: номер полосы, частота (Гц), усиление (дБ)

Обработка:
)";
  text += "  --out-format N          формат выходов: элемент N таблицы форматов (0.." +
          std::to_string(FormatCount - 1) + "); иначе формат входа\n";
  text += R"(  --list-formats          вывести таблицу форматов с номерами
  --list-devices          вывести устройства оцифровки и воспроизведения с их номерами
  --apps [ИМЯ]            вход: звук приложений - виртуальное устройство воспроизведения ИМЯ
                          (по умолчанию Sonolab, имя sonolab_apps) на время обработки; ИМЯ -
                          следующее слово без точки и косой черты, иначе --apps=ИМЯ
  --make-default          с --apps: устройство по умолчанию на время обработки, звучащие потоки
                          переходят в него и в конце возвращаются
  --capture I             вход: устройство оцифровки I семейства PulseAudio
  --pw-capture I          вход: устройство оцифровки I семейства PipeWire (узел графа PipeWire,
                          мониторы выходов тоже; граф работает циклами в размер блока)
  --wave-in I             вход: устройство оцифровки I семейства ALSA
  --in-format N           формат устройства оцифровки (по умолчанию 31: 44,100 КГц, 16 бит, стерео)
  --seconds S             остановить обработку после S секунд звука (S > 0)
)";
  text +=
      "  --block-frames N        размер блока обработки в отсчётах: " + BlockFramesChoicesText() + ", один\n";
  text += R"(                          для входа и всех выходов (по умолчанию - наибольшая степень двойки не
                          больше десятой доли частоты входа, блок от 50 до 100 мс)
  --tail S                после конца входного файла подавать S секунд тишины, чтобы эхо
                          и реверберация затихли (S >= 0, по умолчанию 0)
  --play I                выход: устройство воспроизведения I семейства PulseAudio (можно повторять)
  --pw-play I             выход: устройство воспроизведения I семейства PipeWire (можно повторять)
  --wave-out I            выход: устройство воспроизведения I семейства ALSA (можно повторять)
  --out-type ВИД          вид выходов "-" и файлов с другими окончаниями имени: wav (по
                          умолчанию), flac, ogg или opus
  --force                 перезаписывать существующие файлы (кроме входов)
  --quiet, -q             без строки хода обработки, заметки о преобразовании входа и итога
  --summary ВИД           итог: text (строка, по умолчанию), json (один объект JSON) или none
  --verbose               вывести в стандартный поток ошибок, в реальном ли времени идёт обработка
                          (через rtkit, напрямую или нет и почему), и сколько звука входа потеряно
  --version               вывести версию
  --help                  эта справка

По окончании обработки выводится строка
  blocks=B frames=F seconds=S mean_ms=M max_ms=X realtime=R clipped=N dropouts=N
(clipped - отсчёты, ограниченные при обработке; dropouts - пропуски звука устройств);
с --summary json - объект с теми же полями, именами входа и выходов и кодом завершения.
Коды завершения: 0 - готово, 1 - ошибка (и когда выходной файл не удалось записать полностью),
2 - ошибка в параметрах, 129, 130 и 143 - обработка прервана сигналом SIGHUP, SIGINT или SIGTERM
(файлы при этом завершены).
)";
  return text;
}

} // namespace

const std::string RenderUsage = Usage();

void PrintUsageError(const TUsageError& error, std::ostream& err) {
  err << error.what() << "\nПодробнее: sonolab-render --help\n";
}

namespace {

int ParseInt(const std::string& text, const std::string& option, const std::string& range) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw TUsageError("Значение " + option + " должно быть целым числом " + range + ": " + text);
  }
  return value;
}

double ParseSeconds(const std::string& text, const std::string& option, bool zeroAllowed) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 ||
      (value == 0 && !zeroAllowed) || value > 1e7) {
    throw TUsageError("Число секунд для " + option + " должно быть " +
                      (zeroAllowed ? "от 0 до 10000000" : "больше 0 и не больше 10000000") + ": " + text);
  }
  return value;
}

int ParseFormatIndex(const std::string& text, const std::string& option) {
  const std::string range = FromTo(0, FormatCount - 1);
  const int n = ParseInt(text, option, range);
  if (n < 0 || n >= FormatCount) {
    throw TUsageError("Номер формата " + option + " должен быть " + range + ": " + text);
  }
  return n;
}

} // namespace

TRenderCommand ParseRenderArguments(const std::vector<std::string>& args) {
  TRenderCommand command;
  if (args.empty()) {
    throw TUsageError("Не задано ни входа, ни действий с цепочкой");
  }
  std::vector<std::string> files;
  size_t i = 0;
  auto value = [&](const std::string& option) -> const std::string& {
    if (i + 1 >= args.size()) {
      throw TUsageError("Не задано значение для " + option);
    }
    return args[++i];
  };
  auto slot = [&](const std::string& option) {
    const std::string& text = value(option);
    const std::string range = FromTo(0, TFilterList::MaxFilters - 1);
    const int n = ParseInt(text, option, range);
    if (n < 0 || n >= TFilterList::MaxFilters) {
      throw TUsageError("Позиция фильтра для " + option + " должна быть " + range + ": " + text);
    }
    return n;
  };
  auto device = [&](const std::string& option, TDeviceFamily family) {
    const std::string& text = value(option);
    const int n = ParseInt(text, option, "от 0");
    if (n < 0) {
      throw TUsageError("Номер устройства для " + option + " должен быть от 0: " + text);
    }
    return TDeviceChoice{family, n, {}};
  };
  auto setInput = [&](TDeviceChoice choice) {
    if (command.Input) {
      throw TUsageError("Вход можно задать только один раз");
    }
    command.Input = std::move(choice);
  };

  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    using K = TRenderAction::Kind;
    if (a == "--help" || a == "-h") {
      command.Help = true;
    } else if (a == "--version") {
      command.Version = true;
    } else if (a == "--rate") {
      const std::string& text = value(a);
      const std::string range = FromTo(1, MaxRenderRate);
      command.Rate = ParseInt(text, a, range);
      if (command.Rate <= 0 || command.Rate > MaxRenderRate) {
        throw TUsageError("Частота дискретизации --rate должна быть " + range + " Гц: " + text);
      }
    } else if (a == "--chain") {
      command.Actions.push_back({K::Chain, value(a), -1});
    } else if (a == "--add") {
      command.Actions.push_back({K::Add, value(a), -1});
    } else if (a == "--add-lv2") {
      command.Actions.push_back({K::AddPlugin, value(a), -1});
    } else if (a == "--set") {
      const int n = slot(a);
      command.Actions.push_back({K::Set, value(a), n});
    } else if (a == "--list-lv2") {
      command.ListPlugins = true;
    } else if (a == "--disable") {
      command.Actions.push_back({K::Disable, {}, slot(a)});
    } else if (a == "--load-filter" || a == "--save-filter") {
      const int n = slot(a);
      command.Actions.push_back({a == "--load-filter" ? K::LoadFilter : K::SaveFilter, value(a), n});
    } else if (a == "--save-chain") {
      command.Actions.push_back({K::SaveChain, value(a), -1});
    } else if (a == "--print") {
      command.Actions.push_back({K::Print, {}, -1});
    } else if (a == "--response") {
      command.Actions.push_back({K::Response, {}, -1});
    } else if (a == "--out-format") {
      command.OutFormat = ParseFormatIndex(value(a), a);
    } else if (a == "--in-format") {
      command.InFormat = ParseFormatIndex(value(a), a);
    } else if (a == "--seconds") {
      command.Seconds = ParseSeconds(value(a), a, false);
    } else if (a == "--block-frames") {
      const std::string& text = value(a);
      int32_t n = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
      if (error != std::errc() || end != text.data() + text.size() || n == 0 || !IsBlockFramesChoice(n)) {
        throw TUsageError("Размер блока --block-frames должен быть " + BlockFramesChoicesText() +
                          " отсчётов: " + text);
      }
      command.BlockFrames = n;
    } else if (a == "--tail") {
      command.TailSeconds = ParseSeconds(value(a), a, true);
    } else if (a == "--force") {
      command.Force = true;
    } else if (a == "--out-type") {
      const std::string& text = value(a);
      const std::optional<TFileKind> kind = FileKindOfWord(text);
      if (!kind) {
        throw TUsageError("Вид файла --out-type должен быть wav, flac, ogg или opus: " + text);
      }
      command.OutType = *kind;
    } else if (a == "--quiet" || a == "-q") {
      command.Quiet = true;
    } else if (a == "--summary") {
      const std::string& text = value(a);
      if (text == "text") {
        command.Summary = TSummaryStyle::Text;
      } else if (text == "json") {
        command.Summary = TSummaryStyle::Json;
      } else if (text == "none") {
        command.Summary = TSummaryStyle::None;
      } else {
        throw TUsageError("Вид итога --summary должен быть text, json или none: " + text);
      }
    } else if (a == "--verbose") {
      command.Verbose = true;
    } else if (a == "--list-formats") {
      command.ListFormats = true;
    } else if (a == "--list-devices") {
      command.ListDevices = true;
    } else if (a == "--apps" || a.rfind("--apps=", 0) == 0) {
      // The name is optional: a following word is taken for it only when it cannot be a file name.
      std::string name = a.size() > 6 ? a.substr(7) : std::string(TAppsRecordingDevice::DefaultDescription);
      if (a.size() == 6 && i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-' &&
          args[i + 1].find_first_of("./") == std::string::npos) {
        name = args[++i];
      }
      if (name.empty() || name.find_first_of("\"'\\\n") != std::string::npos) {
        throw TUsageError("Имя --apps не может быть пустым или содержать кавычки и обратную косую черту: " +
                          name);
      }
      setInput(TDeviceChoice{TDeviceFamily::Apps, 0, name});
    } else if (a == "--make-default") {
      command.MakeDefault = true;
    } else if (a == "--capture") {
      setInput(device(a, TDeviceFamily::Ring));
    } else if (a == "--pw-capture") {
      setInput(device(a, TDeviceFamily::Graph));
    } else if (a == "--wave-in") {
      setInput(device(a, TDeviceFamily::WaveAudio));
    } else if (a == "--play") {
      command.Outputs.push_back(device(a, TDeviceFamily::Ring));
    } else if (a == "--pw-play") {
      command.Outputs.push_back(device(a, TDeviceFamily::Graph));
    } else if (a == "--wave-out") {
      command.Outputs.push_back(device(a, TDeviceFamily::WaveAudio));
    } else if (a.size() > 1 && a[0] == '-') {
      throw TUsageError("Неизвестный параметр: " + a);
    } else {
      files.push_back(a);
    }
  }

  // Positional files: the input first unless a device input was chosen, then the output files.
  size_t first = 0;
  if (!command.Input && !files.empty()) {
    command.Input = TDeviceChoice{TDeviceFamily::File, -1, files[0]};
    first = 1;
  }
  for (size_t k = first; k < files.size(); ++k) {
    command.Outputs.push_back(TDeviceChoice{TDeviceFamily::File, -1, files[k]});
  }
  if (command.Seconds && !command.Input) {
    throw TUsageError("--seconds действует только при обработке входа");
  }
  if (command.BlockFrames != 0 && !command.Input) {
    throw TUsageError("--block-frames действует только при обработке входа");
  }
  if (command.MakeDefault && (!command.Input || command.Input->Family != TDeviceFamily::Apps)) {
    throw TUsageError("--make-default действует только со входом --apps");
  }
  if (command.TailSeconds > 0 && (!command.Input || command.Input->Family != TDeviceFamily::File)) {
    throw TUsageError("--tail действует только со входом из файла");
  }
  return command;
}
