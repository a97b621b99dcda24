#pragma once
// One channel's part of an archive: its folder (locked against a second run
// on it), where the broadcast is cut into the next file, and the files
// themselves, each created new beside the others and listed in the day's
// playlist. Used by whoever passes the channel's chunks on, one at a time.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "capture/MpegFrameWalk.h"

class TArchiveChannel {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr size_t kNoCut = TMpegFrameWalk::kNone;

  // Makes and opens DIR/<folderName> in the archive folder `archiveFd`, not
  // through a symbolic link, and locks it. Throws EFileLocked when another
  // run archives there, text::EInOutError when it cannot be made or opened.
  TArchiveChannel(int archiveFd, const std::string& archivePath, const std::string& folderName,
                  int periodSeconds);
  ~TArchiveChannel();
  TArchiveChannel(const TArchiveChannel&) = delete;
  TArchiveChannel& operator=(const TArchiveChannel&) = delete;

  // Where in the stream's next n bytes, all come by `arrived`, the next file
  // begins: the first frame at or after the cut time (told apart within the
  // bytes by the bit rate, kbit/s, when known), or the first frame at all
  // while no file is open. kNoCut: they belong to the current file.
  size_t CutIn(const uint8_t* data, size_t n, TClock::time_point arrived, int32_t kbps);

  struct TOpened {
    int Fd = -1;          // the new file, write-only; -1 with Error
    int Error = 0;        // errno of the failed step
    std::string Name;     // the whole path, UTF-8
    std::string LogName;  // its title log beside it
    int PlaylistError = 0;  // the file is there but the playlist did not take it
  };
  // Begins the next file, named by `wall` (the time its first byte came);
  // the next cut falls due at the next multiple of the period after it,
  // counted on the steady clock from `startedAt`. `extension` without dot.
  TOpened OpenNext(const std::string& extension, std::chrono::system_clock::time_point wall,
                   TClock::time_point startedAt);
  // The current file ends with nothing after it (no data): whatever comes
  // next begins a new one at its first frame.
  void Interrupt();
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
  int period_;
  TMpegFrameWalk walk_;
  bool due_ = true;
  TClock::time_point deadline_{};
};
