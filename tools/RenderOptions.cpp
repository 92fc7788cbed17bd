#include "tools/RenderOptions.h"

#include <charconv>
#include <cmath>

const char* const RenderUsage =
    R"(Использование:
  sonolab-render [ПАРАМЕТРЫ] [ВХОД.wav ВЫХОД.wav [ВЫХОД.wav ...]]

Обрабатывает звук цепочкой фильтров: из файла WAVE или устройства записи в файлы WAVE
и устройства воспроизведения. Без входа работает только с цепочкой и файлами параметров.
Параметры выполняются в том порядке, в каком заданы.

Цепочка и параметры фильтров:
  --rate ГЦ               частота дискретизации цепочки без входного файла (по умолчанию 44100;
                          с входом действует частота входа)
  --chain ФАЙЛ.lst        загрузить цепочку, заменив текущую
  --add ТИП[:ИМЯ=ЗНАЧ[,ИМЯ=ЗНАЧ...]]
                          добавить включённый фильтр типа ТИП (0 нижних частот, 1 верхних частот,
                          4 многополосовой, 9 эхо, 11 реверберация) и задать его параметры
                          (имена без учёта регистра; целые для int32, десятичные для double;
                          Gain=g0/g1/.../g19 - 20 линейных коэффициентов полос)
  --disable I             выключить фильтр в позиции I
  --load-filter I ФАЙЛ.flt
                          загрузить параметры фильтра в позицию I
  --save-chain ФАЙЛ.lst   сохранить цепочку
  --save-filter I ФАЙЛ.flt
                          сохранить параметры фильтра в позиции I
  --print                 вывести цепочку: позиция, название, on/off, ИМЯ=ЗНАЧ через табуляцию
  --response              вывести АЧХ включённых фильтров: номер полосы, частота (Гц), усиление (дБ)

Обработка:
  --out-format N          формат выходов: элемент N таблицы форматов (0..35); иначе формат входа
  --list-devices          вывести устройства оцифровки и воспроизведения с их номерами
  --capture I             вход: устройство оцифровки I семейства DirectSound
  --wave-in I             вход: устройство оцифровки I семейства Wave Audio
  --in-format N           формат устройства оцифровки (по умолчанию 31: 44,100 КГц, 16 бит, стерео)
  --seconds S             остановить обработку после S секунд звука
  --play I                выход: устройство воспроизведения I семейства DirectSound (можно повторять)
  --wave-out I            выход: устройство воспроизведения I семейства Wave Audio (можно повторять)
  --help                  эта справка

По окончании обработки выводится строка
  blocks=B frames=F seconds=S mean_ms=M max_ms=X realtime=R
Ошибки: сообщение программы в stderr и код 1; ошибка в параметрах - код 2.
)";

namespace {

int ParseInt(const std::string& text, const std::string& option) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw TUsageError("Неверное число для " + option + ": " + text);
  }
  return value;
}

double ParseSeconds(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value <= 0) {
    throw TUsageError("Неверное число секунд: " + text);
  }
  return value;
}

int ParseFormatIndex(const std::string& text, const std::string& option) {
  const int n = ParseInt(text, option);
  if (n < 0 || n > 35) {
    throw TUsageError("Номер формата " + option + " должен быть от 0 до 35: " + text);
  }
  return n;
}

} // namespace

TRenderCommand ParseRenderArguments(const std::vector<std::string>& args) {
  TRenderCommand command;
  std::vector<std::string> files;
  size_t i = 0;
  auto value = [&](const std::string& option) -> const std::string& {
    if (i + 1 >= args.size()) {
      throw TUsageError("Не задано значение для " + option);
    }
    return args[++i];
  };
  auto slot = [&](const std::string& option) {
    const int n = ParseInt(value(option), option);
    if (n < 0) {
      throw TUsageError("Неверный номер позиции для " + option);
    }
    return n;
  };
  auto device = [&](const std::string& option, TDeviceFamily family) {
    const int n = ParseInt(value(option), option);
    if (n < 0) {
      throw TUsageError("Неверный номер устройства для " + option);
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
    } else if (a == "--rate") {
      command.Rate = ParseInt(value(a), a);
      if (command.Rate <= 0) {
        throw TUsageError("Частота дискретизации должна быть больше нуля");
      }
    } else if (a == "--chain") {
      command.Actions.push_back({K::Chain, value(a), -1});
    } else if (a == "--add") {
      command.Actions.push_back({K::Add, value(a), -1});
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
      command.Seconds = ParseSeconds(value(a));
    } else if (a == "--list-devices") {
      command.ListDevices = true;
    } else if (a == "--capture") {
      setInput(device(a, TDeviceFamily::Ring));
    } else if (a == "--wave-in") {
      setInput(device(a, TDeviceFamily::WaveAudio));
    } else if (a == "--play") {
      command.Outputs.push_back(device(a, TDeviceFamily::Ring));
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
  return command;
}
