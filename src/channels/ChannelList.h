#pragma once
// The channel list: the program's one table of radio channels, and its file
// kanal.ini (four CP1251 lines a record: name, audio PID text, "0", empty).
// Qt-free; the main window shows it and the capture reads it by row index.
#include <cstddef>
#include <string>
#include <vector>

struct ChannelRow {
  std::string Number;    // display number, set once when the row is added
  std::string Name;      // CP1251 channel name
  std::string Pid;       // audio PID as decimal text, unchecked
  std::string Recorded;  // "записано/Мб" text
  bool Ticked = false;   // record this channel at the next start
};

class TChannelList {
 public:
  // Appends a row numbered (rows before + 1); numbers are never renumbered.
  void AddChannelRow(const std::string& name, const std::string& pid, const std::string& recorded);
  // Deletes the row at a 0-based index; an index naming no row does nothing.
  void DeleteRow(int index);
  // Emptying an empty list changes nothing: a scan that finds nothing keeps
  // an unread file too.
  void Clear() {
    if (!rows_.empty()) unreadFile_ = false;
    rows_.clear();
  }

  size_t Count() const { return rows_.size(); }
  const std::vector<ChannelRow>& Rows() const { return rows_; }
  ChannelRow& Row(size_t index) { return rows_.at(index); }
  const ChannelRow& Row(size_t index) const { return rows_.at(index); }

  // Replaces the rows with the file's records. Throws text::EInOutError; the
  // rows read before a failure stay.
  void LoadChannelList(const std::string& path);
  // Writes every row; a failure throws text::EInOutError and leaves the old
  // file as it was.
  void SaveChannelList(const std::string& path) const;
  // True after a load that failed for another reason than a missing file,
  // until the rows change: saving them then would put an empty list over a
  // file that may still hold the user's channels.
  bool KeepsUnreadFile() const { return unreadFile_; }

 private:
  std::vector<ChannelRow> rows_;
  bool unreadFile_ = false;
};
