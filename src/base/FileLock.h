#pragma once
// Exclusive advisory locks (flock) that keep two runs of the program off the
// same files: the lock lives as long as the descriptor, and the kernel drops
// it when the process ends however it ends.
#include <string>

namespace text {

// Takes an exclusive lock on `fd` without waiting. False when another open
// file holds one; `holder` then names that process ("PID 123 (mellowcaster)")
// when the system tells, or says "другой процесс".
bool TryLockExclusive(int fd, std::string& holder);

// The holder of a lock on the file `fd` refers to, as above.
std::string LockHolder(int fd);

} // namespace text
