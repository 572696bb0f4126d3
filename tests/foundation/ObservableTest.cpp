#include "foundation/Observable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

// A small model object: plain setters announce automatically, the counter
// announces by hand around a locked store, and "displayName" is derived.
class Account : public Observable {
 public:
  Account() { setKeyPathsForValuesAffectingValueForKey("displayName", {"name", "host"}); }
  Account(const Account& other) : Observable(other), name_(other.name_), host_(other.host_), count_(other.count_) {}

  void setName(std::string name) { setAndAnnounce("name", name_, std::move(name)); }
  void setHost(std::string host) { setAndAnnounce("host", host_, std::move(host)); }
  void setCount(int count) {
    willChangeValueForKey("count");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      count_ = count;
    }
    didChangeValueForKey("count");
  }
  std::string displayName() const { return name_ + "@" + host_; }

  Value valueForKey(const std::string& key) const override {
    if (key == "name") return name_;
    if (key == "host") return host_;
    if (key == "displayName") return displayName();
    if (key == "count") {
      std::lock_guard<std::mutex> lock(mutex_);
      return count_;
    }
    return Observable::valueForKey(key);
  }

 private:
  mutable std::mutex mutex_;
  std::string name_ = "alice";
  std::string host_ = "example.org";
  int count_ = 0;
};

// Records every call it gets.
struct Recorder {
  std::vector<ObservedChange> changes;
  Observable::Observer observer() {
    return [this](const ObservedChange& change) { changes.push_back(change); };
  }
};

// --- values and options ---------------------------------------------------------

TEST(ObservableChanges, ObserverGetsNewAndOldValuesWhenItAsks) {
  Account account;
  Recorder both, plain;
  account.addObserver("name", kObservingOptionNew | kObservingOptionOld, both.observer());
  account.addObserver("name", 0, plain.observer());
  account.setName("bob");
  ASSERT_EQ(both.changes.size(), 1u);
  EXPECT_EQ(both.changes[0].key, "name");
  EXPECT_EQ(both.changes[0].object, &account);
  EXPECT_FALSE(both.changes[0].isPrior);
  EXPECT_EQ(both.changes[0].oldValue, Value("alice"));
  EXPECT_EQ(both.changes[0].newValue, Value("bob"));
  ASSERT_EQ(plain.changes.size(), 1u);
  EXPECT_TRUE(plain.changes[0].oldValue.isNull());
  EXPECT_TRUE(plain.changes[0].newValue.isNull());
}

TEST(ObservableChanges, PriorOptionAnnouncesBeforeTheChangeWithTheOldValue) {
  Account account;
  std::vector<std::string> seen;
  account.addObserver("name", kObservingOptionPrior | kObservingOptionOld | kObservingOptionNew,
                      [&](const ObservedChange& change) {
                        // The observer reads the object itself: before the change it is still old.
                        std::string now = account.valueForKey("name").asString();
                        if (change.isPrior) {
                          EXPECT_TRUE(change.newValue.isNull());
                          seen.push_back("before:" + change.oldValue.asString() + ":" + now);
                        } else {
                          seen.push_back("after:" + change.newValue.asString() + ":" + now);
                        }
                      });
  account.setName("carol");
  EXPECT_EQ(seen, (std::vector<std::string>{"before:alice:alice", "after:carol:carol"}));
}

TEST(ObservableChanges, InitialOptionCallsAtOnceWithTheCurrentValue) {
  Account account;
  Recorder recorder;
  account.addObserver("host", kObservingOptionInitial | kObservingOptionNew, recorder.observer());
  ASSERT_EQ(recorder.changes.size(), 1u);
  EXPECT_EQ(recorder.changes[0].newValue, Value("example.org"));
  account.setHost("backup.example.net");
  ASSERT_EQ(recorder.changes.size(), 2u);
  EXPECT_EQ(recorder.changes[1].newValue, Value("backup.example.net"));
}

TEST(ObservableChanges, ObserversOfOtherKeysAreNotCalled) {
  Account account;
  Recorder recorder;
  account.addObserver("host", kObservingOptionNew, recorder.observer());
  account.setName("dave");
  account.setCount(3);
  EXPECT_TRUE(recorder.changes.empty());
}

TEST(ObservableChanges, ManualAnnouncementsCarryValuesAroundALockedStore) {
  Account account;
  Recorder recorder;
  account.addObserver("count", kObservingOptionNew | kObservingOptionOld, recorder.observer());
  account.setCount(5);
  account.setCount(9);
  ASSERT_EQ(recorder.changes.size(), 2u);
  EXPECT_EQ(recorder.changes[0].oldValue, Value(0));
  EXPECT_EQ(recorder.changes[0].newValue, Value(5));
  EXPECT_EQ(recorder.changes[1].oldValue, Value(5));
  EXPECT_EQ(recorder.changes[1].newValue, Value(9));
}

TEST(ObservableChanges, NestedAnnouncementsOfOneKeyPairUpInnermostFirst) {
  Account account;
  Recorder recorder;
  account.addObserver("count", kObservingOptionNew | kObservingOptionOld, recorder.observer());
  account.willChangeValueForKey("count");  // outer: old value 0
  account.setCount(4);                     // inner: 0 -> 4
  account.setCount(8);                     // inner: 4 -> 8
  account.didChangeValueForKey("count");   // outer: 0 -> 8
  ASSERT_EQ(recorder.changes.size(), 3u);
  EXPECT_EQ(recorder.changes[0].oldValue, Value(0));
  EXPECT_EQ(recorder.changes[1].oldValue, Value(4));
  EXPECT_EQ(recorder.changes[2].oldValue, Value(0));
  EXPECT_EQ(recorder.changes[2].newValue, Value(8));
}

// --- dependent keys ----------------------------------------------------------------

TEST(ObservableDependentKeys, DerivedKeyIsAnnouncedWhenAKeyItDependsOnChanges) {
  Account account;
  Recorder recorder;
  account.addObserver("displayName", kObservingOptionNew | kObservingOptionOld, recorder.observer());
  account.setName("erin");
  account.setHost("nas.local");
  account.setCount(1);  // not a dependency
  ASSERT_EQ(recorder.changes.size(), 2u);
  EXPECT_EQ(recorder.changes[0].key, "displayName");
  EXPECT_EQ(recorder.changes[0].oldValue, Value("alice@example.org"));
  EXPECT_EQ(recorder.changes[0].newValue, Value("erin@example.org"));
  EXPECT_EQ(recorder.changes[1].newValue, Value("erin@nas.local"));
}

TEST(ObservableDependentKeys, DependenciesAreFollowedTransitively) {
  Account account;
  account.setKeyPathsForValuesAffectingValueForKey("title", {"displayName"});
  Recorder recorder;
  account.addObserver("title", 0, recorder.observer());
  account.setHost("other.example");
  ASSERT_EQ(recorder.changes.size(), 1u);
  EXPECT_EQ(recorder.changes[0].key, "title");
}

class Circle : public Observable {
 public:
  void setRadius(double radius) { setAndAnnounce("radius", radius_, radius); }
  Value valueForKey(const std::string& key) const override {
    if (key == "radius") return radius_;
    if (key == "area") return 3.0 * radius_ * radius_;
    return Value();
  }
  std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override {
    if (key == "area") return {"radius"};
    // A cycle must not hang the walk.
    if (key == "radius") return {"area"};
    return {};
  }

 private:
  double radius_ = 1.0;
};

TEST(ObservableDependentKeys, SubclassCanAnswerDependenciesItself) {
  Circle circle;
  Recorder recorder;
  circle.addObserver("area", kObservingOptionNew | kObservingOptionOld, recorder.observer());
  circle.setRadius(2.0);
  ASSERT_EQ(recorder.changes.size(), 1u);
  EXPECT_EQ(recorder.changes[0].oldValue, Value(3.0));
  EXPECT_EQ(recorder.changes[0].newValue, Value(12.0));
  // An unrelated key walks the cyclic dependencies and ends.
  Recorder radius;
  circle.addObserver("radius", 0, radius.observer());
  circle.willChangeValueForKey("color");
  circle.didChangeValueForKey("color");
  EXPECT_TRUE(radius.changes.empty());
  EXPECT_EQ(recorder.changes.size(), 1u);
}

// --- registration ---------------------------------------------------------------------

TEST(ObservableRegistration, RemovedObserverIsNotCalledAgain) {
  Account account;
  Recorder kept, removed;
  ObserverToken keep = account.addObserver("name", 0, kept.observer());
  ObserverToken drop = account.addObserver("name", 0, removed.observer());
  EXPECT_TRUE(keep.isValid());
  EXPECT_FALSE(keep == drop);
  account.setName("f");
  account.removeObserver(drop);
  account.removeObserver(drop);             // twice: ignored
  account.removeObserver(ObserverToken());  // none: ignored
  account.setName("g");
  EXPECT_EQ(kept.changes.size(), 2u);
  EXPECT_EQ(removed.changes.size(), 1u);
  account.removeObserver(keep);
  EXPECT_FALSE(account.hasObservers("name"));
}

TEST(ObservableRegistration, ObserverMayRemoveItselfAndOthersDuringACall) {
  Account account;
  int first = 0, second = 0;
  ObserverToken firstToken, secondToken;
  firstToken = account.addObserver("name", 0, [&](const ObservedChange&) {
    ++first;
    account.removeObserver(firstToken);
    account.removeObserver(secondToken);
  });
  secondToken = account.addObserver("name", 0, [&](const ObservedChange&) { ++second; });
  account.setName("h");
  account.setName("i");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0) << "removed before its turn came";
}

TEST(ObservableRegistration, CopyStartsWithoutObserversButKeepsDependencies) {
  Account account;
  Recorder recorder;
  account.addObserver("name", 0, recorder.observer());
  Account copy = account;
  EXPECT_FALSE(copy.hasObservers("name"));
  copy.setName("j");
  EXPECT_TRUE(recorder.changes.empty());
  Recorder derived;
  copy.addObserver("displayName", 0, derived.observer());
  copy.setHost("k");
  EXPECT_EQ(derived.changes.size(), 1u);
}

// --- threads -----------------------------------------------------------------------------

TEST(ObservableThreads, ObserverRunsOnTheThreadThatMadeTheChange) {
  Account account;
  std::thread::id calledOn;
  account.addObserver("count", 0, [&](const ObservedChange&) { calledOn = std::this_thread::get_id(); });
  std::thread::id changer;
  std::thread worker([&] {
    changer = std::this_thread::get_id();
    account.setCount(2);
  });
  worker.join();
  EXPECT_EQ(calledOn, changer);
  EXPECT_NE(calledOn, std::this_thread::get_id());
}

TEST(ObservableThreads, RegistrationOnOtherThreadsWhileChangesAreAnnouncedIsSafe) {
  Account account;
  std::atomic<int> calls{0};
  std::atomic<bool> done{false};
  account.addObserver("count", kObservingOptionNew | kObservingOptionOld, [&](const ObservedChange&) { ++calls; });
  std::atomic<int> started{0};
  std::thread changer([&] {
    while (started.load() < 3) std::this_thread::yield();
    for (int i = 1; i <= 2000; ++i) account.setCount(i);
    done = true;
  });
  std::vector<std::thread> registrars;
  for (int t = 0; t < 3; ++t) {
    registrars.emplace_back([&] {
      ++started;
      while (!done.load()) {
        auto token = account.addObserver("displayName", kObservingOptionNew, [](const ObservedChange&) {});
        account.removeObserver(token);
      }
    });
  }
  changer.join();
  for (auto& r : registrars) r.join();
  EXPECT_EQ(calls.load(), 2000);
}

}  // namespace
}  // namespace quorvel
