#include "foundation/LocalizedString.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "foundation/Mutex.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "foundation/Unicode.h"

namespace quorvel {

namespace {

class StringsParser {
 public:
  StringsParser(std::string_view text, std::string* error) : text_(text), error_(error) {}

  std::optional<StringTable> parse() {
    StringTable table;
    for (;;) {
      if (!skipSpaceAndComments()) return std::nullopt;
      if (pos_ >= text_.size()) return table;
      std::string key, value;
      if (!readToken(key)) return std::nullopt;
      if (!skipSpaceAndComments()) return std::nullopt;
      if (peek() == ';') {
        ++pos_;
        table[key] = key;
        continue;
      }
      if (peek() != '=') return fail("expected \"=\" or \";\" after a key");
      ++pos_;
      if (!skipSpaceAndComments() || !readToken(value) || !skipSpaceAndComments()) return std::nullopt;
      if (peek() != ';') return fail("expected \";\" after a value");
      ++pos_;
      table[key] = std::move(value);
    }
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  std::nullopt_t fail(const std::string& reason) {
    if (error_) {
      std::size_t line = 1;
      for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
      *error_ = reason + " on line " + std::to_string(line);
    }
    return std::nullopt;
  }

  bool skipSpaceAndComments() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        std::size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.substr(pos_, 2) == "/*") {
        std::size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) {
          fail("unterminated comment");
          return false;
        }
        pos_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool IsUnquotedCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  bool readToken(std::string& out) {
    if (peek() == '"') return readQuoted(out);
    std::size_t start = pos_;
    while (pos_ < text_.size() && IsUnquotedCharacter(text_[pos_])) {
      // "//" and "/*" start comments even right after a token.
      if (text_[pos_] == '/' && (peek2() == '/' || peek2() == '*')) break;
      ++pos_;
    }
    if (pos_ == start) {
      fail("expected a quoted or unquoted text");
      return false;
    }
    out.assign(text_.substr(start, pos_ - start));
    return true;
  }

  char peek2() const { return pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0'; }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool readQuoted(std::string& out) {
    ++pos_;  // opening quote
    out.clear();
    char32_t pendingHigh = 0;  // a high surrogate from \U waiting for its low half
    auto flushHigh = [&] {
      if (pendingHigh) AppendUtf8(out, 0xFFFD);
      pendingHigh = 0;
    };
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') {
        flushHigh();
        return true;
      }
      if (c != '\\') {
        flushHigh();
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      if (e == 'U' || e == 'u') {
        char32_t unit = 0;
        int digits = 0;
        while (digits < 4 && pos_ < text_.size() && HexDigit(text_[pos_]) >= 0) {
          unit = unit * 16 + static_cast<char32_t>(HexDigit(text_[pos_++]));
          ++digits;
        }
        if (digits == 0) {
          fail("\\U without hexadecimal digits");
          return false;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh) {
          AppendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
          pendingHigh = 0;
        } else {
          flushHigh();
          if (unit >= 0xD800 && unit <= 0xDBFF) pendingHigh = unit;
          else AppendUtf8(out, unit);
        }
        continue;
      }
      flushHigh();
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
          unsigned value = static_cast<unsigned>(e - '0');
          for (int i = 0; i < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i)
            value = value * 8 + static_cast<unsigned>(text_[pos_++] - '0');
          AppendUtf8(out, value & 0xFF);
          break;
        }
        default: out.push_back(e); break;  // \" \\ \' and anything else stand for themselves
      }
    }
    fail("unterminated quoted text");
    return false;
  }

  std::string_view text_;
  std::string* error_;
  std::size_t pos_ = 0;
};

struct Cache {
  Mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<const StringTable>> tables GUARDED_BY(mutex);
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

std::shared_ptr<const StringTable> LoadTable(const std::string& name) {
  std::string path = ResourcesDirectory() + "/" + name + ".strings";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::make_shared<const StringTable>();
  Data data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Expected<StringTable> table = ParseStringsData(data);
  if (!table) {
    SystemLog("%s: Failed reading string table \"%s\" (%s)", "LoadTable", path, table.status().message());
    return std::make_shared<const StringTable>();
  }
  return std::make_shared<const StringTable>(std::move(*table));
}

std::shared_ptr<const StringTable> Table(const std::string& name) {
  Cache& cache = TheCache();
  MutexLock lock(cache.mutex);
  auto& table = cache.tables[name];
  if (!table) table = LoadTable(name);
  return table;
}

}  // namespace

Expected<StringTable> ParseStringsFile(std::string_view text) {
  std::string error;
  std::optional<StringTable> table = StringsParser(text, &error).parse();
  if (!table) return Status::invalid(kFormatDomain, error);
  return std::move(*table);
}

Expected<StringTable> ParseStringsData(const Data& data) {
  auto startsWith = [&](std::initializer_list<std::uint8_t> prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
  };
  if (startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF})) {
    bool little = data[0] == 0xFF;
    std::u16string units;
    units.reserve(data.size() / 2);
    for (std::size_t i = 2; i + 1 < data.size(); i += 2)
      units.push_back(static_cast<char16_t>(little ? data[i] | (data[i + 1] << 8) : (data[i] << 8) | data[i + 1]));
    return ParseStringsFile(Utf8FromUtf16(units));
  }
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (startsWith({0xEF, 0xBB, 0xBF})) text.remove_prefix(3);
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (PropertyList::isBinary(data) || (first != std::string_view::npos && text.substr(first, 5) == "<?xml") ||
      (first != std::string_view::npos && text.substr(first, 6) == "<plist")) {
    Expected<Value> value = PropertyList::read(Data(text.begin(), text.end()));
    if (!value) return value.status();
    if (!value->isDictionary()) return Status::invalid(kFormatDomain, "the property list is not a dictionary");
    StringTable table;
    for (const auto& [key, item] : value->asDictionary()) {
      if (item.isString()) table[key] = item.asString();
    }
    return table;
  }
  return ParseStringsFile(text);
}

std::string ResourcesDirectoryFor(const char* environment, const std::string& executable,
                                  const std::string& builtIn) {
  if (environment && *environment) return environment;
  if (!executable.empty()) {
    const std::filesystem::path prefix = std::filesystem::path(executable).parent_path().parent_path();
    const std::filesystem::path installed = prefix / kInstalledResourcesFolder;
    std::error_code error;
    if (std::filesystem::is_directory(installed, error)) return installed.string();
  }
  return builtIn;
}

std::string ResourcesDirectory() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return ResourcesDirectoryFor(std::getenv("QUORVEL_RESOURCES_DIR"), error ? std::string() : executable.string(),
                               QUORVEL_RESOURCES_DIR);
}

std::optional<std::string> LookupLocalizedString(const std::string& table, const std::string& key) {
  auto strings = Table(table);
  auto it = strings->find(key);
  if (it == strings->end()) return std::nullopt;
  return it->second;
}

std::string LocalizedString(const std::string& table, const std::string& key) {
  auto text = LookupLocalizedString(table, key);
  return text ? *text : key;
}

void ClearLocalizedStringCache() {
  Cache& cache = TheCache();
  MutexLock lock(cache.mutex);
  cache.tables.clear();
}

}  // namespace quorvel
