#include "app/CommandLine.h"

#include "server/AudioServer.h"
#include "base/Convert.h"
#include "base/Cp1251.h"

const char* const kUsageText =
    "Использование: mellowcaster [действие] [параметры]\n"
    "Без параметров программа запускается как обычно.\n"
    "Действия:\n"
    "  --scan            проверить карту, настроиться, сканировать транспондер и записать kanal.ini\n"
    "  --record КАНАЛЫ   записывать отмеченные каналы и вещать все: all (все строки со звуком),\n"
    "                    none или список через запятую из номеров строк и имён каналов\n"
    "  --now             послушать каналы несколько секунд (8, или --seconds N) и показать, что\n"
    "                    сейчас в эфире: название станции и текст (радиотекст) каждого канала\n"
    "  --list            показать список каналов\n"
    "  --help            эта справка\n"
    "  --version         версия программы\n"
    "Параметры:\n"
    "  --ini ПАПКА       папка настроек вместо обычной (ini/ рядом с программой, у установленной\n"
    "                    программы ~/.config/mellowcaster)\n"
    "  --folder ПАПКА    папка записи на этот запуск (вместо строки 7 trsp.ini)\n"
    "  --seconds N       закончить запись через N секунд (иначе по Ctrl+C или SIGTERM);\n"
    "                    для --now: сколько секунд слушать\n"
    "  --encoders N      потоков перекодирования в MP3 (1-64; по умолчанию по одному на ядро)\n"
    "  --archive ПАПКА   вместо одного файла на канал архив: ПАПКА/канал/ГГГГ-ММ-ДД/ЧЧ-ММ-СС.mp2\n"
    "                    (.mp3 для MP3) и список дня ПАПКА/канал/ГГГГ-ММ-ДД.m3u; ПАПКА должна существовать\n"
    "  --split МИНУТЫ    новый файл архива в каждую кратную отметку часов (1-1440; по умолчанию 60)\n"
    "  --keep ДНИ        удалять файлы архива старше стольких дней (1-36500)\n"
    "  --min-free МБ     удалять самые старые файлы архива, пока свободно меньше (по умолчанию 500)\n";

std::optional<TCommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  TCommandLine cl;
  bool actionGiven = false;
  auto setAction = [&](TCommandLine::TAction a, const std::string& option) {
    if (actionGiven) {
      error = "Можно указать только одно действие: " + option;
      return false;
    }
    cl.Action = a;
    actionGiven = true;
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      // An option in its place means the value was left out.
      if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1].rfind("--", 0) == 0) {
        error = "Не указано значение для " + a;
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--scan") {
      if (!setAction(TCommandLine::TAction::Scan, a)) return std::nullopt;
    } else if (a == "--now") {
      if (!setAction(TCommandLine::TAction::Now, a)) return std::nullopt;
    } else if (a == "--list") {
      if (!setAction(TCommandLine::TAction::List, a)) return std::nullopt;
    } else if (a == "--help" || a == "-h") {
      if (!setAction(TCommandLine::TAction::Help, a)) return std::nullopt;
    } else if (a == "--version") {
      if (!setAction(TCommandLine::TAction::Version, a)) return std::nullopt;
    } else if (a == "--record") {
      if (!setAction(TCommandLine::TAction::Record, a) || !value(cl.Rows)) return std::nullopt;
    } else if (a == "--ini") {
      if (!value(cl.IniFolder)) return std::nullopt;
    } else if (a == "--folder") {
      if (!value(v)) return std::nullopt;
      cl.Folder = v;
    } else if (a == "--seconds") {
      if (!value(v)) return std::nullopt;
      const auto n = text::TryStrToInt(v);
      if (!n || *n <= 0) {
        error = "--seconds: нужно целое число больше 0, а не '" + v + "'";
        return std::nullopt;
      }
      cl.Seconds = *n;
    } else if (a == "--encoders") {
      if (!value(v)) return std::nullopt;
      const auto n = text::TryStrToInt(v);
      if (!n || *n < 1 || *n > kMaxEncoders) {
        error = "--encoders: нужно целое число от 1 до " + std::to_string(kMaxEncoders) + ", а не '" + v + "'";
        return std::nullopt;
      }
      cl.Encoders = *n;
    } else if (a == "--archive") {
      if (!value(v)) return std::nullopt;
      cl.Archive = v;
    } else if (a == "--split" || a == "--split-seconds" || a == "--keep" || a == "--min-free") {
      // --split-seconds is for tests: a period of minutes would make them slow.
      struct TRange {
        int Low, High, Scale;
        std::optional<int>* Into;
      };
      const TRange range = a == "--split"           ? TRange{1, 1440, 60, &cl.SplitSeconds}
                           : a == "--split-seconds" ? TRange{1, 86400, 1, &cl.SplitSeconds}
                           : a == "--keep"          ? TRange{1, 36500, 1, &cl.KeepDays}
                                                    : TRange{0, 100000000, 1, &cl.MinFreeMb};
      if (!value(v)) return std::nullopt;
      const auto n = text::TryStrToInt(v);
      if (!n || *n < range.Low || *n > range.High) {
        error = a + ": нужно целое число от " + std::to_string(range.Low) + " до " + std::to_string(range.High) +
                ", а не '" + v + "'";
        return std::nullopt;
      }
      *range.Into = *n * range.Scale;
    } else {
      error = "Неизвестный параметр: " + a;
      return std::nullopt;
    }
  }
  if (cl.Archive && cl.Action != TCommandLine::TAction::Record) {
    error = "--archive относится к --record";
    return std::nullopt;
  }
  if (cl.Archive && cl.Folder) {
    error = "--archive и --folder вместе не указываются: архив пишется в свою папку";
    return std::nullopt;
  }
  if (!cl.Archive && (cl.SplitSeconds || cl.KeepDays || cl.MinFreeMb)) {
    error = "--split, --keep и --min-free относятся к --archive";
    return std::nullopt;
  }
  if (cl.Folder && cl.Action != TCommandLine::TAction::Record) {
    error = "--folder относится к --record";
    return std::nullopt;
  }
  if (cl.Seconds && cl.Action != TCommandLine::TAction::Record && cl.Action != TCommandLine::TAction::Now) {
    error = "--seconds относится к --record и --now";
    return std::nullopt;
  }
  if (cl.Encoders && cl.Action != TCommandLine::TAction::Record) {
    error = "--encoders относится к --record";
    return std::nullopt;
  }
  return cl;
}

namespace {

std::vector<std::string> SplitCommas(const std::string& s) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    items.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

} // namespace

bool SelectRows(TChannelList& list, const std::string& rows, std::string& error) {
  std::vector<bool> ticks(list.Count(), false);
  if (rows == "none") {
  } else if (rows == "all") {
    // A row without audio (PID 0) would record an empty file and stream silence.
    for (size_t r = 0; r < list.Count(); ++r) ticks[r] = text::TryStrToInt(list.Row(r).Pid).value_or(-1) != 0;
  } else {
    for (const std::string& item : SplitCommas(rows)) {
      if (item.empty()) {
        error = "Пустой элемент в списке каналов: '" + rows + "'";
        return false;
      }
      // A number names the row listed under it; anything else is a name.
      const std::string name = text::Utf8ToCp1251(item);
      bool found = false;
      for (size_t r = 0; r < list.Count(); ++r) {
        const ChannelRow& row = list.Row(r);
        if (row.Number == item || SameSourceName(row.Name, name)) {
          ticks[r] = true;
          found = true;
        }
      }
      if (!found) {
        error = "Нет такого канала: " + item;
        return false;
      }
    }
  }
  for (size_t r = 0; r < list.Count(); ++r) list.Row(r).Ticked = ticks[r];
  return true;
}

std::optional<uint16_t> StreamPortOf(const char* value) {
  if (!value || !*value) return kStreamPort;
  uint32_t port = 0;
  for (const char* c = value; *c; ++c) {
    if (*c < '0' || *c > '9' || port > 65535) return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(*c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}
