#include "app/NowPlaying.h"

#include "base/Cp1251.h"

namespace {

// Cuts at a character boundary, never inside a UTF-8 sequence.
std::string Bounded(const std::string& utf8) {
  if (utf8.size() <= kMaxStationTextBytes) return utf8;
  size_t end = kMaxStationTextBytes;
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  return utf8.substr(0, end);
}


size_t CharacterCount(const std::string& utf8) {
  size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

std::string Padded(std::string utf8, size_t width) {
  const size_t n = CharacterCount(utf8);
  if (n < width) utf8.append(width - n, ' ');
  return utf8;
}

const char* const kNothing = "—";

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

} // namespace

void TNowPlaying::Reset(size_t rows) {
  std::lock_guard<std::mutex> guard(lock_);
  texts_.assign(rows, TStationText{});
  changed_.assign(rows, false);
  drainAsked_ = false;
}

TNowPlaying::TChange TNowPlaying::Set(size_t row, const std::string& stationName, const std::string& title) {
  TStationText now{Bounded(stationName), Bounded(title)};
  TChange change;
  std::lock_guard<std::mutex> guard(lock_);
  if (row >= texts_.size()) return change;
  TStationText& held = texts_[row];
  change.Title = held.Title != now.Title;
  change.Station = held.StationName != now.StationName;
  if (!change.Title && !change.Station) return change;
  held = std::move(now);
  changed_[row] = true;
  change.DrainDue = !drainAsked_;
  drainAsked_ = true;
  return change;
}

std::vector<std::pair<size_t, TStationText>> TNowPlaying::TakeChanged() {
  std::vector<std::pair<size_t, TStationText>> out;
  std::lock_guard<std::mutex> guard(lock_);
  // Cleared here, under the lock: a change after this asks for the next drain.
  drainAsked_ = false;
  for (size_t r = 0; r < texts_.size(); ++r)
    if (changed_[r]) {
      changed_[r] = false;
      out.emplace_back(r, texts_[r]);
    }
  return out;
}

std::vector<TStationText> TNowPlaying::All() const {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

std::string PrintableText(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    char32_t cp = 0;
    const size_t length = text::DecodeUtf8(utf8, at, cp);
    if (length == 0) {
      out += '?';
      ++at;
      continue;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029)
      out += ' ';
    else
      out.append(utf8, at, length);
    at += length;
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string TitleLine(const std::tm& localTime, const ChannelRow& row, const std::string& titleUtf8) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &localTime);
  const std::string title = PrintableText(titleUtf8);
  return std::string(stamp) + " Сейчас: " + text::Cp1251ToUtf8(row.Number) + " " + text::Cp1251ToUtf8(row.Name) +
         " — " + (title.empty() ? std::string("(текст снят)") : title);
}

std::vector<std::string> NowTable(const TChannelList& list, const std::vector<TStationText>& texts) {
  std::vector<std::string> lines;
  lines.push_back(Padded("N", 4) + " " + Padded("Канал", 32) + " " + Padded("Станция", 10) + " Сейчас");
  for (size_t r = 0; r < list.Count(); ++r) {
    const ChannelRow& row = list.Row(r);
    const TStationText none;
    const TStationText& t = r < texts.size() ? texts[r] : none;
    const std::string station = PrintableText(t.StationName), title = PrintableText(t.Title);
    lines.push_back(Padded(text::Cp1251ToUtf8(row.Number), 4) + " " + Padded(text::Cp1251ToUtf8(row.Name), 32) + " " +
                    Padded(station.empty() ? kNothing : station, 10) + " " + (title.empty() ? kNothing : title));
  }
  return lines;
}

TTitleLines::TTitleLines(const TChannelList& list, std::function<void(const std::string&)> print)
    : list_(list), print_(std::move(print)) {
  texts_.Reset(list.Count());
}

void TTitleLines::Changed(size_t row, const std::string& stationName, const std::string& title) {
  std::lock_guard<std::mutex> guard(lock_);
  if (texts_.Set(row, stationName, title).Title && shown_) print_(TitleLine(LocalNow(), list_.Row(row), title));
}

void TTitleLines::Show() {
  std::lock_guard<std::mutex> guard(lock_);
  shown_ = true;
  for (const auto& [row, text] : texts_.TakeChanged())
    if (!text.Title.empty()) print_(TitleLine(LocalNow(), list_.Row(row), text.Title));
}
