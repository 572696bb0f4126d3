// ProcessLock: keeps two processes on this machine from working on the same
// backup, or on the same destination, at once.
//
// A lock is an exclusive flock(2) on a file in the settings folder, taken
// without waiting. The holder writes its process id into the file, so that a
// process that finds the lock taken can name who holds it. The kernel
// releases the lock when the holder closes the file or dies (also by
// SIGKILL), so a crash never leaves a backup locked. The files stay in
// place; only the flock counts. Nothing is kept at the destination: what a
// destination stores is the same with or without locks.
//
// A lock is held by one object; moving it moves the hold, destroying it
// releases it. Not for use between threads of one process (flock locks
// belong to the open file, so a second acquire in the same process on
// another descriptor fails just as another process would).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "foundation/Url.h"

namespace quorvel {

class ProcessLock {
 public:
  // What keeps a lock from being taken.
  struct Refusal {
    // The holder's process id; 0 when it cannot be told (the holder has not
    // written it yet, or the file cannot be read).
    pid_t holder = 0;
    // Set when the lock file itself cannot be opened or locked (no holder).
    std::string error;
  };

  // Takes the lock of the file at `path` (created with mode 0600, its
  // folder with 0700, when missing). The lock, or nothing with the reason
  // in *refusal.
  static std::optional<ProcessLock> acquire(const std::string& path, Refusal* refusal);

  // The lock file of a configured backup, and of a destination: one file
  // per destination URL without user, password, query and fragment (for a
  // local folder: its absolute path with symbolic links resolved where it
  // exists), so every backup and every command line run that writes to the
  // same place meets the same lock.
  static std::string pathForBackup(const std::string& uuid);
  static std::string pathForDestination(const Url& destination);

  ProcessLock(ProcessLock&& other) noexcept;
  ProcessLock& operator=(ProcessLock&& other) noexcept;
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  ~ProcessLock();

 private:
  explicit ProcessLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace quorvel
