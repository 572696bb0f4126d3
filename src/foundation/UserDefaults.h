// UserDefaults: the application's preferences - values the program (on the
// user's behalf) has set, over defaults registered at start-up - kept as a
// property list "Defaults.plist" in the settings folder.
//
// Lookup: a value set for the key, else the registered default, else null.
// Registered defaults live in memory only; set values are written to the
// file by synchronize(), which also reads changes another process made to
// the file in the meantime (keys changed here win over keys changed there).
// A UserDefaults object synchronizes when it is destroyed; the standard one
// synchronizes when the process exits normally. Call synchronize() after a
// change that must survive a crash.
//
// Every method may be called from any thread. Changes are announced to
// observers (Observable, keyed by the defaults key, values through
// objectForKey) on the thread that made them; keys changed by another
// process are announced on the thread that called synchronize().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Observable.h"
#include "foundation/Value.h"

namespace quorvel {

class UserDefaults : public Observable {
 public:
  static constexpr char kFileName[] = "Defaults.plist";

  // The process's defaults, stored in settingsFolderPath()/Defaults.plist
  // (the folder is read when standard() is first called).
  static UserDefaults& standard();
  // $QUORVEL_HOME when set, else $XDG_DATA_HOME/Quorvel Varid, else
  // ~/.local/share/Quorvel Varid. Read from the environment on every call.
  static std::string settingsFolderPath();

  // Defaults stored in the file at filePath (read now when it exists; the
  // folder is created when the file is first written). An empty path keeps
  // everything in memory.
  explicit UserDefaults(std::string filePath);
  ~UserDefaults() override;
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& filePath() const { return filePath_; }

  // Adds defaults (a later registration of a key replaces the earlier one).
  void registerDefaults(const Dictionary& defaults);

  // The value set for the key, else its registered default, else null.
  Value objectForKey(const std::string& key) const;
  // Numbers convert between each other; texts convert as the platform's
  // defaults do ("YES", "true" or a non-zero number are true; "12" is 12).
  // Missing or unconvertible values answer false, 0, 0.0 or empty.
  bool boolForKey(const std::string& key) const;
  std::int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  std::string stringForKey(const std::string& key) const;
  Array arrayForKey(const std::string& key) const;
  Dictionary dictionaryForKey(const std::string& key) const;
  Data dataForKey(const std::string& key) const;

  // Sets a value. A null value removes the key; a value that cannot be
  // stored in a property list (an object, a null inside a collection) is
  // refused with a line in the system log, and false is answered.
  bool setObject(const Value& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInteger(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  // Removes the set value; the registered default shows through again.
  void removeObjectForKey(const std::string& key);

  // True when a value has been set for the key (and not removed), as
  // opposed to the key answering its registered default or nothing.
  bool hasUserValueForKey(const std::string& key) const;

  // The set values only, and everything a lookup can answer.
  Dictionary userValues() const;
  Dictionary dictionaryRepresentation() const;

  // Writes pending changes to the file and reads changes made to it by
  // others. False when the file could not be written (the changes stay
  // pending); true when there was nothing to write or without a file.
  bool synchronize();

  // Answers objectForKey, so that observers get old and new values.
  Value valueForKey(const std::string& key) const override;

 private:
  struct State;
  bool changeValue(const std::string& key, const Value* value);

  const std::string filePath_;
  std::unique_ptr<State> state_;
};

}  // namespace quorvel
