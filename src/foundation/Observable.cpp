#include "foundation/Observable.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "foundation/Mutex.h"

namespace quorvel {

namespace {
std::atomic<std::uint64_t> gNextObserverId{1};
}

struct Observable::Registration {
  std::uint64_t id;
  std::string key;
  unsigned options;
  Observer observer;
};

struct Observable::State {
  struct Pending {
    std::thread::id thread;
    std::string key;
    Value oldValue;
  };
  mutable Mutex mutex;
  std::vector<std::shared_ptr<Registration>> registrations GUARDED_BY(mutex);  // in registration order
  std::map<std::string, std::vector<std::string>> affecting GUARDED_BY(mutex);  // key -> keys that change it
  std::vector<Pending> pending GUARDED_BY(mutex);  // will announced, did not yet
};

Observable::Observable() : state_(std::make_unique<State>()) {}

Observable::Observable(const Observable& other) : state_(std::make_unique<State>()) {
  MutexLock otherLock(other.state_->mutex);
  MutexLock lock(state_->mutex);  // nobody else knows the new object yet
  state_->affecting = other.state_->affecting;
}

Observable& Observable::operator=(const Observable& other) {
  if (this == &other) return *this;
  // One lock at a time: two objects assigned to each other on two threads
  // cannot deadlock.
  std::map<std::string, std::vector<std::string>> affecting;
  {
    MutexLock lock(other.state_->mutex);
    affecting = other.state_->affecting;
  }
  MutexLock lock(state_->mutex);
  state_->affecting = std::move(affecting);  // observers stay as they are
  return *this;
}

Observable::~Observable() = default;

ObserverToken Observable::addObserver(const std::string& key, unsigned options, Observer observer) {
  auto registration = std::make_shared<Registration>(Registration{gNextObserverId++, key, options, std::move(observer)});
  {
    MutexLock lock(state_->mutex);
    state_->registrations.push_back(registration);
  }
  if ((options & kObservingOptionInitial) && registration->observer) {
    ObservedChange change;
    change.object = this;
    change.key = key;
    if (options & kObservingOptionNew) change.newValue = valueForKey(key);
    registration->observer(change);
  }
  return ObserverToken(registration->id);
}

void Observable::removeObserver(const ObserverToken& token) {
  std::shared_ptr<Registration> removed;  // released outside the lock
  MutexLock lock(state_->mutex);
  auto& registrations = state_->registrations;
  auto it = std::find_if(registrations.begin(), registrations.end(),
                         [&](const auto& r) { return r->id == token.id_; });
  if (it == registrations.end()) return;
  removed = std::move(*it);
  registrations.erase(it);
}

bool Observable::hasObservers(const std::string& key) const {
  MutexLock lock(state_->mutex);
  return std::any_of(state_->registrations.begin(), state_->registrations.end(),
                     [&](const auto& r) { return r->key == key; });
}

Value Observable::valueForKey(const std::string&) const { return Value(); }

std::vector<std::string> Observable::keyPathsForValuesAffectingValueForKey(const std::string& key) const {
  MutexLock lock(state_->mutex);
  auto it = state_->affecting.find(key);
  return it == state_->affecting.end() ? std::vector<std::string>() : it->second;
}

void Observable::setKeyPathsForValuesAffectingValueForKey(const std::string& key, std::vector<std::string> affectingKeys) {
  MutexLock lock(state_->mutex);
  state_->affecting[key] = std::move(affectingKeys);
}

std::vector<std::shared_ptr<Observable::Registration>> Observable::registrationsFor(const std::string& key) const {
  std::vector<std::shared_ptr<Registration>> result;
  MutexLock lock(state_->mutex);
  for (const auto& r : state_->registrations) {
    if (r->key == key) result.push_back(r);
  }
  return result;
}

bool Observable::isRegistered(const Registration& registration) const {
  MutexLock lock(state_->mutex);
  return std::any_of(state_->registrations.begin(), state_->registrations.end(),
                     [&](const auto& r) { return r.get() == &registration; });
}

std::vector<std::string> Observable::keysToAnnounce(const std::string& key) const {
  std::vector<std::string> observedKeys;
  {
    MutexLock lock(state_->mutex);
    for (const auto& r : state_->registrations) {
      if (r->key != key && std::find(observedKeys.begin(), observedKeys.end(), r->key) == observedKeys.end()) {
        observedKeys.push_back(r->key);
      }
    }
  }
  std::vector<std::string> keys{key};
  // Only observed keys need announcing: walk each one's dependencies
  // (transitively) looking for the changed key.
  for (const auto& candidate : observedKeys) {
    std::set<std::string> seen{candidate};
    std::vector<std::string> work{candidate};
    bool affected = false;
    while (!work.empty() && !affected) {
      std::string current = std::move(work.back());
      work.pop_back();
      for (auto& dependency : keyPathsForValuesAffectingValueForKey(current)) {
        if (dependency == key) {
          affected = true;
          break;
        }
        if (seen.insert(dependency).second) work.push_back(std::move(dependency));
      }
    }
    if (affected) keys.push_back(candidate);
  }
  return keys;
}

void Observable::willChangeValueForKey(const std::string& key) {
  for (const auto& k : keysToAnnounce(key)) {
    auto registrations = registrationsFor(k);
    if (registrations.empty()) continue;
    bool wantOld = std::any_of(registrations.begin(), registrations.end(),
                               [](const auto& r) { return (r->options & kObservingOptionOld) != 0; });
    Value oldValue = wantOld ? valueForKey(k) : Value();
    {
      MutexLock lock(state_->mutex);
      state_->pending.push_back({std::this_thread::get_id(), k, oldValue});
    }
    for (const auto& r : registrations) {
      if (!(r->options & kObservingOptionPrior) || !isRegistered(*r)) continue;
      ObservedChange change;
      change.object = this;
      change.key = k;
      change.isPrior = true;
      if (r->options & kObservingOptionOld) change.oldValue = oldValue;
      r->observer(change);
    }
  }
}

void Observable::didChangeValueForKey(const std::string& key) {
  for (const auto& k : keysToAnnounce(key)) {
    Value oldValue;
    {
      MutexLock lock(state_->mutex);
      auto& pending = state_->pending;
      auto self = std::this_thread::get_id();
      for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        if (it->thread == self && it->key == k) {
          oldValue = std::move(it->oldValue);
          pending.erase(std::next(it).base());
          break;
        }
      }
    }
    auto registrations = registrationsFor(k);
    if (registrations.empty()) continue;
    bool wantNew = std::any_of(registrations.begin(), registrations.end(),
                               [](const auto& r) { return (r->options & kObservingOptionNew) != 0; });
    Value newValue = wantNew ? valueForKey(k) : Value();
    for (const auto& r : registrations) {
      if (!isRegistered(*r)) continue;
      ObservedChange change;
      change.object = this;
      change.key = k;
      if (r->options & kObservingOptionOld) change.oldValue = oldValue;
      if (r->options & kObservingOptionNew) change.newValue = newValue;
      r->observer(change);
    }
  }
}

}  // namespace quorvel
