#pragma once
// Address, bind and readiness helpers the audio server is written against.
// Every socket is an IPv4 TCP socket; a handle is a plain integer, -1 for none.
#include <cstdint>
#include <string>

using TSocket = int32_t;
inline constexpr TSocket InvalidSocket = -1;

// A socket set holds at most 64 handles, in the order they were added.
inline constexpr uint32_t SocketSetCapacity = 64;
struct TSocketSet {
  uint32_t Count = 0;
  TSocket Array[SocketSetCapacity] = {};
};

void FdZero(TSocketSet& set);
// Appends without a duplicate check; a socket offered to a full set is ignored.
void FdSet(TSocket socket, TSocketSet& set);
bool FdIsSet(TSocket socket, const TSocketSet& set);

// Waits until a member of the set is readable and keeps only the readable
// members. Result as select: >0 readable, 0 time-out, -1 error (a negative
// handle or one that names no open descriptor among them). A negative
// time-out waits without limit. Works for any descriptor number (poll based).
int SelectReadable(TSocketSet& set, int32_t timeoutMs);

// Waits until the socket has data or a pending connection; result as above.
int WaitReadable(TSocket socket, int32_t timeoutMs);

// Dotted text of an IPv4 address given in network byte order.
std::string AddressToText(uint32_t address);

// Socket bound (not listening) to a dotted IPv4 address, or to every local
// address when the text is empty. -1 for port 0, for anything that is not
// dotted IPv4 (host names are not looked up), and for any failure.
TSocket CreateBoundSocket(const std::string& address, uint16_t port);

bool SetSocketNonBlocking(TSocket socket, bool nonBlocking);
void CloseSocket(TSocket socket);
