// KeepAwake: the counted request that keeps the computer from sleeping while
// commands run. The first request takes a systemd-logind inhibitor lock
// ("sleep:idle", mode "block") on the system bus; further requests are
// counted; the last release closes the lock's descriptor, which ends it.
// Where no logind answers (no system bus, another init system), requests
// are still counted and the failure is logged once per process: a backup
// never fails because the machine could not be kept awake.
//
// Thread-safe: one mutex guards the count and the descriptor.
#pragma once

#include <string>

#include "foundation/Mutex.h"

namespace quorvel {

class KeepAwake {
 public:
  // `who` and `why` are what logind shows for the lock ("systemd-inhibit
  // --list").
  KeepAwake(std::string who, std::string why);
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  void request();
  // Releases one request; nothing happens when none is held.
  void release();

  unsigned count() const;
  // True while logind's lock is held.
  bool holdsLock() const;

 private:
  const std::string who_;
  const std::string why_;
  mutable Mutex mutex_;
  unsigned count_ GUARDED_BY(mutex_) = 0;
  int lock_ GUARDED_BY(mutex_) = -1;
};

}  // namespace quorvel
