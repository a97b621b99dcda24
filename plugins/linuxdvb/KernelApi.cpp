#include "KernelApi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace linuxdvb {
namespace {

class TRealKernel final : public TKernelApi {
 public:
  int Open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    int r;
    do r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
  }
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
  ssize_t Read(int fd, void* to, size_t size) override { return ::read(fd, to, size); }
  int Close(int fd) override { return ::close(fd); }
  void Sleep(int ms) override {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
  }
};

} // namespace

TKernelApi& RealKernel() {
  static TRealKernel kernel;
  return kernel;
}

} // namespace linuxdvb
