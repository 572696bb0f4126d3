// Observable: per-key change announcements to registered observers.
//
// A class derives from Observable, overrides valueForKey() for the keys it
// announces (so that observers can be given old and new values), and
// announces each change either automatically through setAndAnnounce() in a
// plain setter, or by hand with willChangeValueForKey() before and
// didChangeValueForKey() after the change (for changes that need care, such
// as a store under a lock between the two announcements).
//
// Observers register per key with option flags and get an opaque token for
// removal. After each change every observer of the key is called with the
// new and/or old value when it asked for them; an observer that asked for
// the prior notification is called before the change as well.
//
// Dependent keys: a derived key (say "displayName", computed from "name"
// and "host") is announced whenever a key it depends on is announced. Either
// register the dependency with setKeyPathsForValuesAffectingValueForKey() or
// override keyPathsForValuesAffectingValueForKey(). Dependencies are
// transitive.
//
// Threads: observers are called on the thread that announces the change,
// with no lock held; they may add and remove observers (also themselves).
// Registration and removal may happen on any thread; an observer removed on
// another thread while a change is being announced may still get that one
// call. A will/did pair must be announced on one thread.
//
// Copying an Observable copies no observers: the copy starts unobserved.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

class Observable;

enum ObservingOptions : unsigned {
  kObservingOptionNew = 1u << 0,      // give the new value (after the change)
  kObservingOptionOld = 1u << 1,      // give the old value
  kObservingOptionInitial = 1u << 2,  // call once at registration with the current value as new value
  kObservingOptionPrior = 1u << 3,    // call before the change too (isPrior, with the old value if asked)
};

struct ObservedChange {
  const Observable* object = nullptr;
  std::string key;
  bool isPrior = false;  // the call before the change
  Value oldValue;        // null unless kObservingOptionOld was asked for
  Value newValue;        // null unless kObservingOptionNew was asked for (and never in a prior call)
};

// Identifies one registration; default-constructed tokens identify none.
class ObserverToken {
 public:
  ObserverToken() = default;
  bool isValid() const { return id_ != 0; }
  bool operator==(const ObserverToken&) const = default;

 private:
  friend class Observable;
  explicit ObserverToken(std::uint64_t id) : id_(id) {}
  std::uint64_t id_ = 0;
};

class Observable {
 public:
  using Observer = std::function<void(const ObservedChange&)>;

  Observable();
  Observable(const Observable& other);
  Observable& operator=(const Observable& other);
  virtual ~Observable();

  // Registers an observer for one key. options: kObservingOption* flags.
  ObserverToken addObserver(const std::string& key, unsigned options, Observer observer);
  // Removes a registration; unknown or already removed tokens are ignored.
  void removeObserver(const ObserverToken& token);
  bool hasObservers(const std::string& key) const;

  // Manual announcements around a change of `key` (and of the keys that
  // depend on it). Pairs may nest, also for the same key.
  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);

  // The current value of a key, for the values given to observers. The
  // base answers null.
  virtual Value valueForKey(const std::string& key) const;

  // The keys whose changes also change `key`. The base answers what was
  // registered with setKeyPathsForValuesAffectingValueForKey.
  virtual std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const;
  void setKeyPathsForValuesAffectingValueForKey(const std::string& key, std::vector<std::string> affectingKeys);

 protected:
  // A plain setter with automatic announcement.
  template <typename T, typename U>
  void setAndAnnounce(const std::string& key, T& field, U&& newValue) {
    willChangeValueForKey(key);
    field = std::forward<U>(newValue);
    didChangeValueForKey(key);
  }

 private:
  struct State;
  struct Registration;
  std::vector<std::string> keysToAnnounce(const std::string& key) const;
  std::vector<std::shared_ptr<Registration>> registrationsFor(const std::string& key) const;
  bool isRegistered(const Registration& registration) const;

  std::unique_ptr<State> state_;
};

}  // namespace quorvel
