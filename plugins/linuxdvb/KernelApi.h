#pragma once
// Every call the Linux DVB card makes into the kernel goes through this
// interface, so that tests can put a scripted adapter in its place. Results
// and errno follow the system calls of the same names.
#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace linuxdvb {

class TKernelApi {
 public:
  virtual ~TKernelApi() = default;
  virtual int Open(const char* path, int flags) = 0;
  // arg is a pointer, or for the calls that take a plain value (FE_SET_TONE,
  // FE_SET_VOLTAGE, DMX_SET_BUFFER_SIZE) the value cast to a pointer.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
  virtual ssize_t Read(int fd, void* to, size_t size) = 0;
  virtual int Close(int fd) = 0;
  // The pauses that the LNB and the DiSEqC bus need between commands.
  virtual void Sleep(int ms) = 0;
};

// The running system's calls.
TKernelApi& RealKernel();

} // namespace linuxdvb
