// The Debian package as a user meets it: installed with dpkg, the program
// run by an ordinary user who has never run it before, then removed again.
// Needs root and dpkg, and the package the build made (./run package; ./run
// test makes it before the tests).
#include "support/Command.h"
#include "support/StreamPortLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using testsupport::HaveTool;
using testsupport::RunCommand;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// dpkg with the arguments; while another package tool holds the database
// (an apt-get elsewhere on the machine) it is asked again, for a bounded while.
testsupport::TCommandResult Dpkg(const std::string& args) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    auto r = RunCommand("dpkg " + args + " 2>&1");
    if (r.exitStatus != 2 || r.output.find("lock") == std::string::npos || std::chrono::steady_clock::now() > deadline)
      return r;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

bool PackageInstalled() {
  return RunCommand("dpkg-query -W -f='${Status}' mellowcaster 2>/dev/null").output.find("ok installed") !=
         std::string::npos;
}

// The package's paths, absolute ("/usr/bin/mellowcaster"), folders included.
std::vector<std::string> PackagePaths(const std::string& deb) {
  std::vector<std::string> paths;
  std::istringstream lines(RunCommand("dpkg-deb --fsys-tarfile " + Quoted(deb) + " | tar -t").output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("./", 0) == 0) line.erase(0, 1);
    while (line.size() > 1 && line.back() == '/') line.pop_back();
    if (!line.empty() && line != "/") paths.push_back(line);
  }
  return paths;
}

// Removes the package whatever happened before, so a failure halfway never
// leaves it on the machine.
struct TInstalledPackage {
  bool installed = false;
  ~TInstalledPackage() {
    if (installed) Dpkg("-r mellowcaster");
  }
  void Remove() {
    installed = false;
    const auto r = Dpkg("-r mellowcaster");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
  }
};

// A home folder for "nobody" that nothing else uses, removed at the end.
struct TUserHome {
  fs::path path;
  TUserHome() {
    char pattern[] = "/tmp/mc-package-home-XXXXXX";
    if (::mkdtemp(pattern)) path = pattern;
    if (!path.empty() && ::chown(pattern, kNobody, kNogroup) != 0) path.clear();
  }
  ~TUserHome() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

// One user at a time on this machine's package database.
struct TMachineLock {
  int fd = ::open("/tmp/mellowcaster-package-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  TMachineLock() {
    if (fd >= 0) ::flock(fd, LOCK_EX);
  }
  ~TMachineLock() {
    if (fd >= 0) ::close(fd);
  }
};

// The installed program as "nobody", in its home, with nothing of ours in
// the environment; standard error joins standard output for the messages. A
// hang ends in a failure (status 124) that still removes the package.
testsupport::TCommandResult RunAsUser(const fs::path& home, const std::string& args) {
  return RunCommand("cd " + Quoted(home.string()) + " && timeout 60 setpriv --reuid=" + std::to_string(kNobody) +
                    " --regid=" + std::to_string(kNogroup) + " --clear-groups env -i HOME=" + Quoted(home.string()) +
                    " PATH=/usr/bin:/bin LANG=C.UTF-8 mellowcaster " + args + " 2>&1");
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

} // namespace

TEST(DebianPackage, InstallsRunsForAUserAndRemovesCleanly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the package is installed with dpkg -i";
  if (!HaveTool("dpkg") || !HaveTool("dpkg-deb") || !HaveTool("setpriv"))
    GTEST_SKIP() << "needs dpkg, dpkg-deb and setpriv";
  const std::string arch = RunCommand("dpkg --print-architecture").output;
  const std::string deb = std::string(MC_PACKAGE_PREFIX) + arch.substr(0, arch.find('\n')) + ".deb";
  if (!PathExists(deb)) GTEST_SKIP() << "no package " << deb << ": ./run package builds it";
  if (fs::last_write_time(deb) < fs::last_write_time(MC_BIN_DIR "/mellowcaster"))
    GTEST_SKIP() << deb << " is older than the program: ./run package builds it again";

  TMachineLock lock;
  if (PackageInstalled()) GTEST_SKIP() << "a mellowcaster package is installed here already; the test leaves it alone";

  const std::vector<std::string> paths = PackagePaths(deb);
  ASSERT_FALSE(paths.empty()) << "cannot list " << deb;
  std::set<std::string> existedBefore;
  for (const auto& p : paths)
    if (PathExists(p)) existedBefore.insert(p);

  TInstalledPackage package;
  {
    const auto r = Dpkg("-i " + Quoted(deb));
    package.installed = true;
    ASSERT_EQ(r.exitStatus, 0) << r.output;
  }
  {
    const auto r = RunCommand("mellowcaster --version");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output.rfind("mellowcaster " MC_VERSION, 0), 0u) << r.output;
  }
  // Installed, not enabled.
  EXPECT_EQ(RunCommand("ls /etc/systemd/system/*/mellowcaster.service 2>/dev/null").output, "");

  TUserHome home;
  ASSERT_FALSE(home.path.empty());
  // The installed program streams on the fixed port too.
  testsupport::TStreamPortLock port;
  {
    const auto r = RunAsUser(home.path, "--scan");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
  }
  const fs::path settings = home.path / ".config" / "mellowcaster";
  for (const char* name : {"trsp.ini", "kanal.ini", "eq.ini"}) {
    EXPECT_TRUE(fs::is_regular_file(settings / name)) << name << " not in the user's settings folder";
    struct stat st {};
    EXPECT_TRUE(::stat((settings / name).c_str(), &st) == 0 && st.st_uid == kNobody) << name;
  }
  const std::string scanned = ReadWhole(settings / "kanal.ini");
  EXPECT_NE(scanned.find("Classic"), std::string::npos) << "the scan's list:\n" << scanned;

  // A desktop user has a music folder; the recordings go there by default.
  const fs::path music = home.path / "Music";
  ASSERT_TRUE(fs::create_directory(music));
  ASSERT_EQ(::chown(music.c_str(), kNobody, kNogroup), 0);
  {
    const auto r = RunAsUser(home.path, "--record all --seconds 2");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
  }
  int recordings = 0;
  for (const auto& entry : fs::directory_iterator(music))
    if (entry.path().extension() == ".mp3" && fs::file_size(entry.path()) > 0) ++recordings;
  EXPECT_GT(recordings, 0) << "nothing recorded into " << music;

  package.Remove();
  EXPECT_FALSE(PackageInstalled());
  for (const auto& p : paths)
    EXPECT_TRUE(existedBefore.count(p) || !PathExists(p)) << p << " is left after dpkg -r";
  // What the user made stays theirs.
  EXPECT_TRUE(fs::is_regular_file(settings / "kanal.ini"));
}
