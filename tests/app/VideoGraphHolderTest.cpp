#include "app/VideoGraphHolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(DirectShowGraph, AnEmptyHolderClosesNoHandle) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    TDirectShowGraph holder(7);
    EXPECT_EQ(holder.Owner(), 7);
    EXPECT_FALSE(holder.HoldsGraph());
    EXPECT_EQ(holder.SystemHandle(), -1);
    EXPECT_EQ(holder.RotCookie(), -1);
    holder.Teardown();
  }
  for (int fd : {0, 1, 2, fds[0], fds[1]}) EXPECT_NE(fcntl(fd, F_GETFD), -1) << fd;
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(ProgramGraph().Owner(), 0);
  EXPECT_FALSE(ProgramGraph().HoldsGraph());
}

}  // namespace
