#include "channels/ChannelList.h"

#include <cerrno>
#include <new>

#include "base/InOutError.h"
#include "base/LineFile.h"

void TChannelList::AddChannelRow(const std::string& name, const std::string& pid,
                                 const std::string& recorded) {
  ChannelRow row;
  row.Number = std::to_string(rows_.size() + 1);
  row.Name = name;
  row.Pid = pid;
  row.Recorded = recorded;
  rows_.push_back(std::move(row));
  unreadFile_ = false;
}

void TChannelList::DeleteRow(int index) {
  if (index < 0 || static_cast<size_t>(index) >= rows_.size()) return;
  rows_.erase(rows_.begin() + index);
  unreadFile_ = false;
}

void TChannelList::LoadChannelList(const std::string& path) {
  rows_.clear();
  unreadFile_ = false;
  std::vector<std::string> lines;
  try {
    lines = text::ReadLineFile(path);
  } catch (const text::EInOutError& e) {
    unreadFile_ = e.ErrorCode() != ENOENT;
    throw;
  } catch (const std::bad_alloc&) {
    unreadFile_ = true;
    throw;
  }
  // A record is read whenever lines remain, so a cut-short last record still
  // gives a row, its missing lines empty.
  auto line = [&](size_t i) { return i < lines.size() ? lines[i] : std::string(); };
  for (size_t i = 0; i < lines.size(); i += 4)
    AddChannelRow(line(i), line(i + 1), line(i + 2));
}

void TChannelList::SaveChannelList(const std::string& path) const {
  std::vector<std::string> lines;
  lines.reserve(rows_.size() * 4);
  for (const auto& row : rows_) {
    lines.push_back(row.Name);
    lines.push_back(row.Pid);
    lines.push_back("0");
    lines.push_back("");
  }
  text::WriteLineFile(path, lines);
}

