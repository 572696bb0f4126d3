#include "foundation/UserDefaults.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "foundation/Mutex.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"

namespace quorvel {

namespace {

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/tmp";
}

// Reads the file; nothing when it is missing, unreadable or not a dictionary.
std::optional<Dictionary> ReadDefaultsFile(const std::string& path, const char* function) {
  Expected<Value> value = PropertyList::readFile(path);
  if (!value) {
    SystemLog("%s: reading \"%s\" failed: %s", function, path, value.status().message());
    return std::nullopt;
  }
  if (!value->isDictionary()) {
    SystemLog("%s: \"%s\" does not hold a dictionary", function, path);
    return std::nullopt;
  }
  return value->asDictionary();
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::int64_t IntegerFromText(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t number = 0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

double DoubleFromText(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double number = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

bool IsStorable(const Value& value) {
  if (value.isNull() || value.isObject()) return false;
  if (value.isArray()) {
    for (const auto& element : value.asArray()) {
      if (!IsStorable(element)) return false;
    }
  } else if (value.isDictionary()) {
    for (const auto& entry : value.asDictionary()) {
      if (!IsStorable(entry.second)) return false;
    }
  }
  return true;
}

}  // namespace

struct UserDefaults::State {
  mutable Mutex mutex;
  Dictionary registered GUARDED_BY(mutex);
  Dictionary user GUARDED_BY(mutex);       // the values set, as this process sees them
  Dictionary persisted GUARDED_BY(mutex);  // the file's contents as last read or written
  std::set<std::string> dirty GUARDED_BY(mutex);  // keys set or removed since the last write
};

std::string UserDefaults::settingsFolderPath() {
  if (const char* home = std::getenv("QUORVEL_HOME"); home && *home) return home;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') return std::string(data) + "/Quorvel Varid";
  return HomeFolder() + "/.local/share/Quorvel Varid";
}

UserDefaults& UserDefaults::standard() {
  static UserDefaults* instance = [] {
    auto* defaults = new UserDefaults(settingsFolderPath() + "/" + kFileName);  // lives until the process ends
    std::atexit([] { UserDefaults::standard().synchronize(); });
    return defaults;
  }();
  return *instance;
}

UserDefaults::UserDefaults(std::string filePath) : filePath_(std::move(filePath)), state_(std::make_unique<State>()) {
  if (filePath_.empty() || !FileExists(filePath_)) return;
  if (auto contents = ReadDefaultsFile(filePath_, __func__)) {
    MutexLock lock(state_->mutex);  // nobody else knows the object yet
    state_->user = *contents;
    state_->persisted = std::move(*contents);
  }
}

UserDefaults::~UserDefaults() { synchronize(); }

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  MutexLock lock(state_->mutex);
  for (const auto& entry : defaults) state_->registered.set(entry.first, entry.second);
}

Value UserDefaults::objectForKey(const std::string& key) const {
  MutexLock lock(state_->mutex);
  if (const Value* value = state_->user.find(key)) return *value;
  if (const Value* value = state_->registered.find(key)) return *value;
  return Value();
}

Value UserDefaults::valueForKey(const std::string& key) const { return objectForKey(key); }

bool UserDefaults::boolForKey(const std::string& key) const {
  Value value = objectForKey(key);
  if (value.isString()) {
    std::string_view text = Trimmed(value.asString());
    if (text.empty()) return false;
    if (std::strchr("YyTt", text.front())) return true;
    return IntegerFromText(text) != 0;
  }
  if (value.isReal()) return value.asDouble() != 0.0;
  return value.asBool();
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
  Value value = objectForKey(key);
  if (value.isString()) return IntegerFromText(value.asString());
  return value.asInt();
}

double UserDefaults::doubleForKey(const std::string& key) const {
  Value value = objectForKey(key);
  if (value.isString()) return DoubleFromText(value.asString());
  return value.asDouble();
}

std::string UserDefaults::stringForKey(const std::string& key) const { return objectForKey(key).asString(); }
Array UserDefaults::arrayForKey(const std::string& key) const { return objectForKey(key).asArray(); }
Dictionary UserDefaults::dictionaryForKey(const std::string& key) const { return objectForKey(key).asDictionary(); }
Data UserDefaults::dataForKey(const std::string& key) const { return objectForKey(key).asData(); }

bool UserDefaults::changeValue(const std::string& key, const Value* value) {
  if (value && !IsStorable(*value)) {
    SystemLog("%s: refusing a value for \"%s\" that a property list cannot hold (%s)", __func__, key,
              value->description());
    return false;
  }
  willChangeValueForKey(key);
  {
    MutexLock lock(state_->mutex);
    if (value) {
      state_->user.set(key, *value);
    } else {
      state_->user.erase(key);
    }
    state_->dirty.insert(key);
  }
  didChangeValueForKey(key);
  return true;
}

bool UserDefaults::setObject(const Value& value, const std::string& key) {
  return changeValue(key, value.isNull() ? nullptr : &value);
}

void UserDefaults::setBool(bool value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::setInteger(std::int64_t value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::setDouble(double value, const std::string& key) { setObject(Value(value), key); }
void UserDefaults::removeObjectForKey(const std::string& key) { changeValue(key, nullptr); }

bool UserDefaults::hasUserValueForKey(const std::string& key) const {
  MutexLock lock(state_->mutex);
  return state_->user.contains(key);
}

Dictionary UserDefaults::userValues() const {
  MutexLock lock(state_->mutex);
  return state_->user;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  MutexLock lock(state_->mutex);
  Dictionary all = state_->registered;
  for (const auto& entry : state_->user) all.set(entry.first, entry.second);
  return all;
}

bool UserDefaults::synchronize() {
  if (filePath_.empty()) {
    MutexLock lock(state_->mutex);
    state_->dirty.clear();
    return true;
  }
  bool written = true;
  Dictionary merged;
  std::vector<std::string> changedElsewhere;
  {
    MutexLock lock(state_->mutex);
    // What the file holds now (another process may have written it; the
    // file is small, so it is simply read again). An unreadable file counts
    // as what was last read or written.
    Dictionary base = state_->persisted;
    if (!FileExists(filePath_)) {
      base = Dictionary();
    } else if (auto contents = ReadDefaultsFile(filePath_, __func__)) {
      base = std::move(*contents);
    }
    // Keys changed here win over keys changed there.
    merged = base;
    for (const auto& key : state_->dirty) {
      if (const Value* value = state_->user.find(key)) {
        merged.set(key, *value);
      } else {
        merged.erase(key);
      }
    }
    if (!state_->dirty.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(std::filesystem::path(filePath_).parent_path(), ignored);
      Status status = PropertyList::writeFile(filePath_, Value(merged), PropertyList::Format::Xml);
      written = status.ok();
      if (written) {
        state_->dirty.clear();
        state_->persisted = merged;
      } else {
        SystemLog("%s: writing \"%s\" failed: %s", __func__, filePath_, status.message());
      }
    } else {
      state_->persisted = base;
    }
    for (const auto& entry : merged) {
      const Value* mine = state_->user.find(entry.first);
      if (!state_->dirty.count(entry.first) && (!mine || !(*mine == entry.second))) {
        changedElsewhere.push_back(entry.first);
      }
    }
    for (const auto& entry : state_->user) {
      if (!state_->dirty.count(entry.first) && !merged.contains(entry.first)) changedElsewhere.push_back(entry.first);
    }
  }
  // Adopt what other processes changed, announcing each key around the change.
  for (const auto& key : changedElsewhere) willChangeValueForKey(key);
  {
    MutexLock lock(state_->mutex);
    for (const auto& key : changedElsewhere) {
      if (state_->dirty.count(key)) continue;  // set here meanwhile: that value wins
      if (const Value* value = merged.find(key)) {
        state_->user.set(key, *value);
      } else {
        state_->user.erase(key);
      }
    }
  }
  for (auto it = changedElsewhere.rbegin(); it != changedElsewhere.rend(); ++it) didChangeValueForKey(*it);
  return written;
}

}  // namespace quorvel
