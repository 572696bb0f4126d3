#include "foundation/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      previous_ = old;
      hadPrevious_ = true;
    }
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (hadPrevious_) {
      ::setenv(name_.c_str(), previous_.c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// The application's start-up registrations, as the scheduler makes them.
Dictionary StartupDefaults() {
  return Dictionary{{"showWindowOnLaunch", true}, {"retryAfterNetworkError", 1}, {"maximumUploadSpeed", 0}};
}

// --- lookup ------------------------------------------------------------------------

TEST(UserDefaultsLookup, RegisteredDefaultAnswersUntilAValueIsSetAndAgainAfterItIsRemoved) {
  UserDefaults defaults("");
  defaults.registerDefaults(StartupDefaults());
  EXPECT_TRUE(defaults.boolForKey("showWindowOnLaunch"));
  EXPECT_FALSE(defaults.hasUserValueForKey("showWindowOnLaunch"));
  defaults.setBool(false, "showWindowOnLaunch");
  EXPECT_FALSE(defaults.boolForKey("showWindowOnLaunch"));
  EXPECT_TRUE(defaults.hasUserValueForKey("showWindowOnLaunch"));
  defaults.removeObjectForKey("showWindowOnLaunch");
  EXPECT_TRUE(defaults.boolForKey("showWindowOnLaunch"));
  EXPECT_FALSE(defaults.hasUserValueForKey("showWindowOnLaunch"));
  EXPECT_TRUE(defaults.objectForKey("neverHeardOf").isNull());
}

TEST(UserDefaultsLookup, LaterRegistrationReplacesAnEarlierDefault) {
  UserDefaults defaults("");
  defaults.registerDefaults({{"maximumUploadSpeed", 0}, {"customRestore", false}});
  defaults.registerDefaults({{"maximumUploadSpeed", 512}});
  EXPECT_EQ(defaults.integerForKey("maximumUploadSpeed"), 512);
  EXPECT_FALSE(defaults.boolForKey("customRestore"));
  EXPECT_TRUE(defaults.objectForKey("customRestore").isBool());
}

TEST(UserDefaultsLookup, TypedGettersConvertLikeThePlatform) {
  UserDefaults defaults("");
  defaults.setObject("YES", "a");
  defaults.setObject("no", "b");
  defaults.setObject(" 12 ", "c");
  defaults.setObject("2.5", "d");
  defaults.setDouble(3.75, "e");
  defaults.setInteger(0, "f");
  defaults.setObject(Array{1, "two"}, "g");
  defaults.setObject(Dictionary{{"k", "v"}}, "h");
  defaults.setObject(DataFromString("bytes"), "i");
  EXPECT_TRUE(defaults.boolForKey("a"));
  EXPECT_FALSE(defaults.boolForKey("b"));
  EXPECT_TRUE(defaults.boolForKey("c"));
  EXPECT_EQ(defaults.integerForKey("c"), 12);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("d"), 2.5);
  EXPECT_EQ(defaults.integerForKey("e"), 3);
  EXPECT_TRUE(defaults.boolForKey("e"));
  EXPECT_FALSE(defaults.boolForKey("f"));
  EXPECT_EQ(defaults.stringForKey("c"), " 12 ");
  EXPECT_EQ(defaults.stringForKey("e"), "") << "numbers are not texts";
  EXPECT_EQ(defaults.arrayForKey("g"), (Array{1, "two"}));
  EXPECT_EQ(defaults.dictionaryForKey("h").get("k"), Value("v"));
  EXPECT_EQ(defaults.dataForKey("i"), DataFromString("bytes"));
  EXPECT_TRUE(defaults.arrayForKey("h").empty());
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
}

TEST(UserDefaultsLookup, ValuesAPropertyListCannotHoldAreRefused) {
  SystemLogCapture capture;
  UserDefaults defaults("");
  EXPECT_FALSE(defaults.setObject(Array{Value(), 1}, "withNull"));
  EXPECT_FALSE(defaults.hasUserValueForKey("withNull"));
  EXPECT_TRUE(capture.contains("withNull"));
  // A plain null is a removal, not a refusal.
  defaults.setInteger(4, "n");
  EXPECT_TRUE(defaults.setObject(Value(), "n"));
  EXPECT_FALSE(defaults.hasUserValueForKey("n"));
}

TEST(UserDefaultsLookup, DictionaryRepresentationLayersSetValuesOverDefaults) {
  UserDefaults defaults("");
  defaults.registerDefaults(StartupDefaults());
  defaults.setInteger(7, "retryAfterNetworkError");
  defaults.setObject("x", "extra");
  Dictionary all = defaults.dictionaryRepresentation();
  EXPECT_EQ(all.get("retryAfterNetworkError"), Value(7));
  EXPECT_EQ(all.get("showWindowOnLaunch"), Value(true));
  EXPECT_EQ(all.get("extra"), Value("x"));
  EXPECT_EQ(defaults.userValues().size(), 2u);
}

// --- persistence --------------------------------------------------------------------------

TEST(UserDefaultsPersistence, SetValuesSurviveInAnXmlPropertyListThatPythonReads) {
  TempDir dir;
  std::string path = dir / "settings/Defaults.plist";  // the folder is created on write
  {
    UserDefaults defaults(path);
    defaults.registerDefaults(StartupDefaults());
    defaults.setBool(true, "launchAtLogin");
    defaults.setInteger(250, "maximumDownloadSpeed");
    defaults.setObject("Kitchen Mac", "hostName");
    EXPECT_TRUE(defaults.synchronize());
  }
  Data bytes = test::ReadFile(path);
  ASSERT_FALSE(bytes.empty());
  EXPECT_FALSE(PropertyList::isBinary(bytes));

  std::string output;
  ASSERT_EQ(test::RunShell(test::Python() +
                               " -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                               "print(sorted(d.items()))\" '" + path + "'",
                           &output),
            0);
  EXPECT_EQ(output, "[('hostName', 'Kitchen Mac'), ('launchAtLogin', True), ('maximumDownloadSpeed', 250)]\n")
      << "registered defaults are not stored";

  UserDefaults reread(path);
  EXPECT_TRUE(reread.boolForKey("launchAtLogin"));
  EXPECT_EQ(reread.integerForKey("maximumDownloadSpeed"), 250);
  EXPECT_EQ(reread.stringForKey("hostName"), "Kitchen Mac");
  EXPECT_TRUE(reread.hasUserValueForKey("hostName"));
}

TEST(UserDefaultsPersistence, DestructionWritesPendingChangesAndRemovalsReachTheFile) {
  TempDir dir;
  std::string path = dir / "Defaults.plist";
  {
    UserDefaults defaults(path);
    defaults.setInteger(1, "keep");
    defaults.setInteger(2, "drop");
  }
  {
    UserDefaults defaults(path);
    EXPECT_EQ(defaults.integerForKey("drop"), 2);
    defaults.removeObjectForKey("drop");
  }
  UserDefaults defaults(path);
  EXPECT_EQ(defaults.integerForKey("keep"), 1);
  EXPECT_FALSE(defaults.hasUserValueForKey("drop"));
}

TEST(UserDefaultsPersistence, SynchronizeMergesChangesMadeByAnotherWriter) {
  TempDir dir;
  std::string path = dir / "Defaults.plist";
  UserDefaults first(path);
  UserDefaults second(path);  // another process, as far as the file is concerned
  first.setInteger(1, "fromFirst");
  first.setInteger(1, "contested");
  ASSERT_TRUE(first.synchronize());
  second.setInteger(2, "fromSecond");
  second.setInteger(2, "contested");
  ASSERT_TRUE(second.synchronize());
  EXPECT_EQ(second.integerForKey("fromFirst"), 1) << "read back from the file";
  EXPECT_EQ(second.integerForKey("contested"), 2) << "its own change wins";

  std::vector<std::string> announced;
  first.addObserver("fromSecond", kObservingOptionNew | kObservingOptionOld, [&](const ObservedChange& change) {
    EXPECT_TRUE(change.oldValue.isNull());
    EXPECT_EQ(change.newValue, Value(2));
    announced.push_back(change.key);
  });
  ASSERT_TRUE(first.synchronize());
  EXPECT_EQ(first.integerForKey("fromSecond"), 2);
  EXPECT_EQ(first.integerForKey("contested"), 2);
  EXPECT_EQ(announced, std::vector<std::string>{"fromSecond"});

  // A removal made by one writer reaches the other.
  second.removeObjectForKey("fromFirst");
  ASSERT_TRUE(second.synchronize());
  ASSERT_TRUE(first.synchronize());
  EXPECT_FALSE(first.hasUserValueForKey("fromFirst"));
}

TEST(UserDefaultsPersistence, UnreadableFileIsLoggedAndReplacedOnTheNextWrite) {
  TempDir dir;
  std::string path = dir / "Defaults.plist";
  test::WriteFile(path, std::string("this is not a property list"));
  SystemLogCapture capture;
  UserDefaults defaults(path);
  EXPECT_TRUE(defaults.userValues().empty());
  EXPECT_TRUE(capture.contains(path));
  defaults.setObject("fresh", "k");
  ASSERT_TRUE(defaults.synchronize());
  UserDefaults reread(path);
  EXPECT_EQ(reread.stringForKey("k"), "fresh");
}

TEST(UserDefaultsPersistence, FailedWriteKeepsChangesPendingUntilAWriteSucceeds) {
  TempDir dir;
  std::string blocker = dir / "settings";
  test::WriteFile(blocker, std::string("a file where the folder should be"));
  SystemLogCapture capture;
  UserDefaults defaults(blocker + "/Defaults.plist");
  defaults.setInteger(1, "k");
  EXPECT_FALSE(defaults.synchronize());
  EXPECT_TRUE(capture.contains("Defaults.plist"));
  EXPECT_EQ(defaults.integerForKey("k"), 1);
  ASSERT_EQ(::unlink(blocker.c_str()), 0);
  EXPECT_TRUE(defaults.synchronize()) << "the pending change is written once possible";
  UserDefaults reread(blocker + "/Defaults.plist");
  EXPECT_EQ(reread.integerForKey("k"), 1);
}

TEST(UserDefaultsPersistence, SettingsFolderFollowsTheEnvironment) {
  {
    ScopedEnvironment home("QUORVEL_HOME", "/srv/quorvel-test");
    EXPECT_EQ(UserDefaults::settingsFolderPath(), "/srv/quorvel-test");
  }
  ScopedEnvironment noHome("QUORVEL_HOME", nullptr);
  {
    ScopedEnvironment data("XDG_DATA_HOME", "/data/xdg");
    EXPECT_EQ(UserDefaults::settingsFolderPath(), "/data/xdg/Quorvel Varid");
  }
  ScopedEnvironment noData("XDG_DATA_HOME", nullptr);
  ScopedEnvironment user("HOME", "/home/tester");
  EXPECT_EQ(UserDefaults::settingsFolderPath(), "/home/tester/.local/share/Quorvel Varid");
}

TEST(UserDefaultsPersistence, StandardDefaultsLiveInTheSettingsFolder) {
  // The standard defaults are made once per process: one folder for every
  // run of this test (also under --gtest_repeat).
  static TempDir dir;
  ScopedEnvironment home("QUORVEL_HOME", dir.path().c_str());
  UserDefaults& standard = UserDefaults::standard();
  EXPECT_EQ(&standard, &UserDefaults::standard());
  EXPECT_EQ(standard.filePath(), dir.path() + "/Defaults.plist");
  standard.setObject("value", "standardKey");
  ASSERT_TRUE(standard.synchronize());
  UserDefaults reread(dir.path() + "/Defaults.plist");
  EXPECT_EQ(reread.stringForKey("standardKey"), "value");
  standard.removeObjectForKey("standardKey");
  ASSERT_TRUE(standard.synchronize());
}

// --- observation and threads ------------------------------------------------------------------

TEST(UserDefaultsObservation, SettingAKeyAnnouncesItWithOldAndNewValues) {
  UserDefaults defaults("");
  defaults.registerDefaults(StartupDefaults());
  std::vector<std::pair<Value, Value>> seen;
  defaults.addObserver("maximumUploadSpeed", kObservingOptionOld | kObservingOptionNew,
                       [&](const ObservedChange& change) { seen.emplace_back(change.oldValue, change.newValue); });
  defaults.setInteger(64, "maximumUploadSpeed");
  defaults.removeObjectForKey("maximumUploadSpeed");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, Value(0));
  EXPECT_EQ(seen[0].second, Value(64));
  EXPECT_EQ(seen[1].first, Value(64));
  EXPECT_EQ(seen[1].second, Value(0)) << "the registered default shows through";
}

TEST(UserDefaultsThreads, ConcurrentSettersReadersAndSynchronizeLoseNothing) {
  TempDir dir;
  std::string path = dir / "Defaults.plist";
  {
    UserDefaults defaults(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 100; ++i) {
          std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
          defaults.setInteger(i, key);
          EXPECT_EQ(defaults.integerForKey(key), i);
          if (i % 25 == 0) defaults.synchronize();
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  UserDefaults reread(path);
  EXPECT_EQ(reread.userValues().size(), 400u);
  EXPECT_EQ(reread.integerForKey("t3k99"), 99);
}

}  // namespace
}  // namespace quorvel
