#include "capture/RecordingRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <thread>

#include "capture/ArchiveChannel.h"
#include "capture/ArchiveNames.h"
#include "capture/ArchiveRetention.h"
#include "device/DevicePlugin.h"
#include "server/AudioServer.h"
#include "base/Convert.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"

const char* const kCloseWhileRecordingMessage =
    "Включена запись ,выключите запись затем можно закрыть программу";

namespace {

void Pause100ms() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

// The start failed at one channel; the message names it and the reason.
struct StartFailure {
  std::string Message;
  TStartRefusal Kind;
};

} // namespace

std::string OutputFileName(const std::string& folder, const std::string& channelName) {
  return folder + ChannelFileStem(channelName) + ".mp3";
}

TRecordingRun::TRecordingRun(TChannelList& list, RecordingOptions& options, const TDevicePlugin& device,
                             RecordingHooks hooks, uint16_t port)
    : list_(list), options_(options), device_(device), hooks_(std::move(hooks)), port_(port) {}

TRecordingRun::~TRecordingRun() { Stop(); }

namespace {

std::string ChannelText(const ChannelRow& row) { return "Канал " + text::Cp1251ToUtf8(row.Name); }

void AbandonAll(std::vector<TPreparedFile>& files) {
  for (auto& f : files) f.Abandon();
}

} // namespace

std::vector<TPreparedFile> TRecordingRun::PrepareRows(std::vector<int32_t>& pids) {
  const std::string folder = options_.Folder;
  // Two ticked rows that name one file would write it from two channels.
  std::map<std::string, size_t> rowOfFile;
  for (size_t r = 0; r < list_.Count(); ++r) {
    const ChannelRow& row = list_.Row(r);
    const auto pid = text::TryStrToInt(row.Pid);
    if (!pid)
      throw StartFailure{ChannelText(row) + ": '" + text::Cp1251ToUtf8(row.Pid) + "' is not a valid integer value",
                         TStartRefusal::Settings};
    pids.push_back(*pid);
    if (!row.Ticked) continue;
    const std::string fileName =
        options_.ArchiveFolder.empty() ? OutputFileName(folder, row.Name) : ArchiveChannelFolder(row.Name);
    const auto [at, added] = rowOfFile.emplace(fileName, r);
    if (!added)
      throw StartFailure{ChannelText(row) + ": файл " + fileName + " уже записывает строка " +
                         list_.Row(at->second).Number, TStartRefusal::Settings};
  }
  std::vector<TPreparedFile> files(list_.Count());
  if (!options_.ArchiveFolder.empty()) {
    PrepareArchive();
    return files;
  }
  for (size_t r = 0; r < list_.Count(); ++r) {
    const ChannelRow& row = list_.Row(r);
    if (hooks_.StopAsked && hooks_.StopAsked()) {
      AbandonAll(files);
      throw StartFailure{"", TStartRefusal::Stopped};
    }
    if (!row.Ticked) continue;
    const std::string fileName = OutputFileName(folder, row.Name);
    try {
      files[r] = PrepareOutputFile(fileName, options_.KeepEarlier);
    } catch (const EFileLocked& e) {
      AbandonAll(files);
      throw StartFailure{ChannelText(row) + ": файл " + fileName + " уже записывает другая запись: " + e.what(),
                         TStartRefusal::Locked};
    } catch (const text::EInOutError& e) {
      AbandonAll(files);
      throw StartFailure{ChannelText(row) + ": не удалось создать файл " + fileName + " (" + e.what() + ")",
                         TStartRefusal::Files};
    }
  }
  return files;
}

void TRecordingRun::PrepareArchive() {
  const std::string& dir = options_.ArchiveFolder;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    throw StartFailure{"Папка архива " + dir + " недоступна (" + text::InOutErrorMessage(errno) + ")",
                       TStartRefusal::Files};
  archives_.clear();
  archives_.resize(list_.Count());
  const auto refuse = [&](StartFailure failure) {
    ::close(fd);
    archives_.clear();
    throw failure;
  };
  for (size_t r = 0; r < list_.Count(); ++r) {
    const ChannelRow& row = list_.Row(r);
    if (hooks_.StopAsked && hooks_.StopAsked()) refuse({"", TStartRefusal::Stopped});
    if (!row.Ticked) continue;
    const std::string folder = ArchiveChannelFolder(row.Name);
    try {
      archives_[r] = std::make_unique<TArchiveChannel>(fd, dir, folder, options_.ArchivePeriodSeconds);
    } catch (const EFileLocked& e) {
      refuse({ChannelText(row) + ": архив " + dir + "/" + folder + " уже пишет другая запись: " + e.what(),
              TStartRefusal::Locked});
    } catch (const text::EInOutError& e) {
      refuse({ChannelText(row) + ": не удалось создать папку " + dir + "/" + folder + " (" + e.what() + ")",
              TStartRefusal::Files});
    }
  }
  ::close(fd);
}

bool TRecordingRun::Start() {
  refusal_ = TStartRefusal::None;
  if (running_ || list_.Count() == 0) return false;
  // Every row is checked and every file opened before anything starts, and
  // no file is emptied until the start can no longer be refused.
  std::vector<int32_t> pids;
  std::vector<TPreparedFile> files;
  try {
    files = PrepareRows(pids);
  } catch (const StartFailure& failure) {
    refusal_ = failure.Kind;
    if (hooks_.Message && !failure.Message.empty()) hooks_.Message(failure.Message);
    return false;
  }

  int filtersAdded = 0;
  try {
    if (device_.DVBSETCOUNT) device_.DVBSETCOUNT(1);
    std::vector<std::string> names;
    for (const auto& row : list_.Rows()) names.push_back(row.Name);
    server_ = StartRecordingServer(names, port_, hooks_.StopAsked);
    // Ten milliseconds a channel add up on a long list: a stop asked meanwhile
    // ends the start here, before any file is emptied.
    if (hooks_.StopAsked && hooks_.StopAsked()) {
      AbandonAll(files);
      RollBack(0);
      refusal_ = TStartRefusal::Stopped;
      return false;
    }
    running_ = true;
    if (hooks_.ToolbarChanged) hooks_.ToolbarChanged(true);

    target_ = CaptureTarget{};
    target_.Sessions = &sessions_;
    target_.Server = server_.get();
    target_.Format = &options_.Format;
    target_.SizeText = hooks_.SizeText;
    target_.AppendFailed = [this](size_t row, const std::string& reason) { ReportAppendFailure(row, reason); };
    target_.TitleChanged = hooks_.TitleChanged;
    target_.TitleLogFailed = [this](size_t row, const std::string& logName, const std::string& reason) {
      // The recording itself goes on; only its list of titles stops.
      if (hooks_.Message)
        hooks_.Message("Канал " + text::Cp1251ToUtf8(sessions_[row].ChannelName) + ": список названий " + logName +
                       " не записывается (" + reason + ")");
    };

    target_.FileNotice = [this](size_t row, const std::string& message) {
      if (hooks_.Message) hooks_.Message("Канал " + text::Cp1251ToUtf8(sessions_[row].ChannelName) + ": " + message);
    };

    const std::string folder = options_.Folder;
    for (size_t r = 0; r < list_.Count(); ++r) {
      const ChannelRow& row = list_.Row(r);
      const std::string fileName = OutputFileName(folder, row.Name);
      if (r < archives_.size() && archives_[r])
        sessions_.AddArchivedSession(row.Name, std::move(archives_[r]));
      else if (const int err = sessions_.AddSession(fileName, row.Name, row.Ticked, std::move(files[r])))
        ReportAppendFailure(r, text::InOutErrorMessage(err));
      sessions_[r].NoAudio = pids[r] == 0;  // PID 0 is the PAT: the scan lists such a row without audio
      for (size_t e = 0; e < r; ++e)
        if (SameSourceName(list_.Row(e).Name, row.Name)) sessions_[r].FeedsSource = false;
      if (r == 0 && hooks_.TickBoxesShown) hooks_.TickBoxesShown(false);
    }
    TEncoderPoolSettings pool;
    pool.Workers = options_.Encoders;
    pool.Work = [this](size_t row, const TPoolChunk& chunk) { ProcessPooledChunk(target_, row, chunk); };
    pool.DropNotice = [this](size_t row, uint64_t dropped) { ReportDrops(row, dropped); };
    encoders_ = std::make_unique<TEncoderPool>(sessions_.Count(), std::move(pool));
    target_.Encoders = encoders_.get();
    AttachCapture(&target_);
    for (size_t r = 0; r < list_.Count(); ++r) {
      const int32_t pid = sessions_[r].NoAudio ? kNoAudioFilterPid : pids[r];
      if (device_.DVBAddFilter) device_.DVBAddFilter(pid, OnTsPacket, 2, 0, 0, 0);
      ++filtersAdded;
    }
  } catch (...) {
    AbandonAll(files);
    RollBack(filtersAdded);  // out of memory and the like: no half-started run
    throw;
  }
  archives_.clear();
  archiveWatch_.assign(sessions_.Count(), TArchiveWatch{});
  archiveRoomMade_ = false;
  archiveShortTold_ = false;
  Recording.store(true, std::memory_order_release);
  if (hooks_.ListMenuChanged) hooks_.ListMenuChanged(true);
  return true;
}

void TRecordingRun::WatchArchive(std::chrono::steady_clock::time_point now) {
  if (!running_ || options_.ArchiveFolder.empty()) return;
  bool cut = !archiveRoomMade_;
  archiveRoomMade_ = true;
  for (size_t r = 0; r < sessions_.Count() && r < archiveWatch_.size(); ++r) {
    CaptureSession& s = sessions_[r];
    if (!s.Archive) continue;
    TArchiveWatch& w = archiveWatch_[r];
    const uint64_t packets = s.Packets.load(std::memory_order_relaxed);
    if (packets != w.Packets || w.Since == std::chrono::steady_clock::time_point{}) {
      w.Packets = packets;
      w.Since = now;
    } else if (now - w.Since >= kArchiveQuiet) {
      InterruptArchive(target_, r, packets);
    }
    const uint64_t files = s.FilesBegun.load(std::memory_order_relaxed);
    cut = cut || files > w.Files + (w.Files == 0 ? 1 : 0);  // a channel's first file is no cut
    w.Files = files;
  }
  if (cut) MakeRoomInArchive();
}

std::vector<std::string> TRecordingRun::ArchiveFilesInUse() {
  std::vector<std::string> names;
  for (size_t r = 0; r < sessions_.Count(); ++r) {
    CaptureSession& s = sessions_[r];
    if (!s.Archive) continue;
    std::lock_guard<std::mutex> guard(s.ArchiveLock);
    if (s.OutputFile >= 0) {
      names.push_back(s.FileName);
      names.push_back(s.TitleLog.Name());
    }
  }
  return names;
}

void TRecordingRun::MakeRoomInArchive() {
  archive::TRetention retention;
  retention.KeepDays = options_.ArchiveKeepDays.value_or(0);
  retention.MinFreeBytes = static_cast<uint64_t>(std::max<int64_t>(options_.ArchiveMinFreeMb, 0)) << 20;
  const archive::TPruneResult result =
      archive::PruneArchive(options_.ArchiveFolder, retention, std::time(nullptr), ArchiveFilesInUse());
  if (!hooks_.Notice) return;
  if (!result.Removed.empty())
    hooks_.Notice("Архив: удалено файлов: " + std::to_string(result.Removed.size()) + " (" +
                  result.Removed.front() + (result.Removed.size() > 1 ? " и другие)" : ")"));
  for (const std::string& failure : result.Failures) hooks_.Notice("Архив: " + failure);
  if (!result.FloorReached && !archiveShortTold_)
    hooks_.Notice("Архив: свободно меньше " + std::to_string(options_.ArchiveMinFreeMb) +
                  " МБ, а удалять больше нечего: освободите место, иначе запись остановится");
  archiveShortTold_ = !result.FloorReached;
}

// Undoes a start that failed part way and restores the idle state.
void TRecordingRun::RollBack(int filtersAdded) {
  Recording.store(false, std::memory_order_release);
  if (device_.DVBDelFilter)
    for (int k = 0; k <= filtersAdded && filtersAdded > 0; ++k) device_.DVBDelFilter(k);
  DetachAndStopEncoders();
  sessions_.CloseFiles();
  sessions_.RemoveAll();
  archives_.clear();
  server_.reset();
  const bool wasRunning = running_;
  running_ = false;
  if (wasRunning && hooks_.ToolbarChanged) hooks_.ToolbarChanged(false);
  if (hooks_.TickBoxesShown) hooks_.TickBoxesShown(true);
}

bool TRecordingRun::Stop() {
  if (!running_) return true;
  Recording.store(false, std::memory_order_release);
  if (hooks_.ToolbarChanged) hooks_.ToolbarChanged(false);
  if (hooks_.StopPlayback) hooks_.StopPlayback();
  Pause100ms();
  const int rows = static_cast<int>(sessions_.Count());
  if (device_.DVBDelFilter)
    for (int k = 0; k <= rows; ++k) device_.DVBDelFilter(k);
  Pause100ms();
  // A card that still delivers after DVBDelFilter must not find freed sessions.
  DetachAndStopEncoders();
  const std::vector<TCloseFailure> failed = sessions_.CloseFiles();
  sessions_.RemoveAll();
  if (hooks_.ListMenuChanged) hooks_.ListMenuChanged(false);
  server_.reset();
  running_ = false;
  if (hooks_.TickBoxesShown) hooks_.TickBoxesShown(true);
  // Reported once the stop is complete, so a failure leaves no half-stopped run.
  if (hooks_.Message)
    for (const auto& f : failed)
      hooks_.Message("Канал " + text::Cp1251ToUtf8(f.ChannelName) + ": файл " + f.FileName +
                     " не закрыт (" + text::InOutErrorMessage(f.Error) + ")");
  return failed.empty();
}

void TRecordingRun::DetachAndStopEncoders() {
  DetachCapture();
  if (!encoders_) return;
  // The chunks that came while recording was on still belong in the files;
  // no more come, and each queue holds a bounded few.
  encoders_->WaitIdle();
  encoders_->Stop();
}

uint64_t TRecordingRun::DroppedChunks() const { return encoders_ ? encoders_->Dropped() : 0; }

void TRecordingRun::ReportDrops(size_t row, uint64_t dropped) {
  if (!hooks_.Message) return;
  hooks_.Message("Канал " + text::Cp1251ToUtf8(sessions_[row].ChannelName) +
                 ": кодеры MP3 не успевают, старые фрагменты пропущены (всего пропущено: " +
                 std::to_string(dropped) + ")");
}

void TRecordingRun::ReportAppendFailure(size_t row, const std::string& reason) {
  if (hooks_.Message)
    hooks_.Message("Канал " + text::Cp1251ToUtf8(sessions_[row].ChannelName) + ": запись остановлена (" + reason + ")");
  if (hooks_.RecordingStopped) hooks_.RecordingStopped(row);
}

bool TRecordingRun::CloseQuery(const std::string& listPath) {
  if (running_ || Recording.load()) {
    if (hooks_.Message) hooks_.Message(kCloseWhileRecordingMessage);
    return false;
  }
  try {
    if (!list_.KeepsUnreadFile()) list_.SaveChannelList(listPath);
  } catch (const text::EInOutError& e) {
    if (hooks_.Message) hooks_.Message(e.what());
    return false;
  }
  if (CardOpen.exchange(false) && device_.DVBClose) device_.DVBClose();
  return true;
}
