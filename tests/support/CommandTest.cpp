#include "support/Command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::RunCommand;

TEST(RunCommand, KeepsTheWholeOutputAndTheExitStatus) {
  struct Case {
    const char* command;
    std::string output;
    int exitStatus;
  };
  const std::vector<Case> cases = {
      {"printf 'a\\0b'; exit 3", std::string("a\0b", 3), 3},  // a NUL does not end the text
      {"head -c 100000 /dev/zero | tr '\\0' x", std::string(100000, 'x'), 0},
      {"echo gone >&2; exit 0", "", 0},  // standard error is not output
      {"echo part; kill -9 $$", "part\n", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const testsupport::TCommandResult r = RunCommand(c.command);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.exitStatus, c.exitStatus);
  }
}

TEST(HaveTool, FindsInstalledCommandsOnly) {
  EXPECT_TRUE(testsupport::HaveTool("sh"));
  EXPECT_FALSE(testsupport::HaveTool("mc-no-such-tool"));
}

} // namespace
