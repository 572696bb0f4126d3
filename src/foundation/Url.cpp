#include "foundation/Url.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>

#include "foundation/Unicode.h"

namespace quorvel {

namespace {

bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

bool IsUnreserved(char c) { return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

bool IsSubDelimiter(char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
      return true;
    default: return false;
  }
}

// Characters that may stand unescaped somewhere in a URL (besides the
// delimiters "#[]" and the "%" of an escape).
bool IsLegal(char c) { return IsUnreserved(c) || IsSubDelimiter(c) || c == ':' || c == '@' || c == '/' || c == '?'; }

// True when every character of the component is legal, "%" only starting a
// two-digit escape, and no character of `refused` present.
bool IsValidComponent(std::string_view text, std::string_view refused = {}) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (!IsLegal(c) || refused.find(c) != std::string_view::npos) return false;
  }
  return true;
}

bool IsValidScheme(std::string_view text) {
  if (text.empty() || !IsAlpha(text[0])) return false;
  for (char c : text) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsValidIpLiteral(std::string_view text) {
  if (text.empty()) return false;
  if (text[0] == 'v' || text[0] == 'V') {  // IPvFuture: "v" HEXDIG+ "." ( unreserved / sub-delims / ":" )+
    std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot < 2 || dot + 1 >= text.size()) return false;
    for (std::size_t i = 1; i < dot; ++i) {
      if (!IsHexDigit(text[i])) return false;
    }
    for (std::size_t i = dot + 1; i < text.size(); ++i) {
      if (!IsUnreserved(text[i]) && !IsSubDelimiter(text[i]) && text[i] != ':') return false;
    }
    return true;
  }
  std::string_view address = text;
  std::size_t zone = text.find("%25");
  if (zone != std::string_view::npos) {
    address = text.substr(0, zone);
    std::string_view zoneId = text.substr(zone + 3);
    if (zoneId.empty() || !IsValidComponent(zoneId, ":@/?")) return false;
  }
  if (address.size() > 45) return false;
  std::string copy(address);
  unsigned char buffer[16];
  return inet_pton(AF_INET6, copy.c_str(), buffer) == 1;
}

void RemoveLastSegment(std::string& out) {
  std::size_t slash = out.rfind('/');
  out.erase(slash == std::string::npos ? 0 : slash);
}

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  auto startsWith = [&](std::string_view prefix) { return input.substr(0, prefix.size()) == prefix; };
  while (!input.empty()) {
    if (startsWith("../")) {
      input.remove_prefix(3);
    } else if (startsWith("./")) {
      input.remove_prefix(2);
    } else if (startsWith("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      out += '/';
      input = {};
    } else if (startsWith("/../")) {
      input.remove_prefix(3);
      RemoveLastSegment(out);
    } else if (input == "/..") {
      RemoveLastSegment(out);
      out += '/';
      input = {};
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      std::size_t end = input.find('/', input[0] == '/' ? 1 : 0);
      if (end == std::string_view::npos) end = input.size();
      out.append(input.substr(0, end));
      input.remove_prefix(end);
    }
  }
  return out;
}

std::string DecodedOrRaw(const std::string& text) {
  if (text.find('%') == std::string::npos) return text;
  auto decoded = Url::unescape(text);
  return decoded ? *decoded : text;
}

}  // namespace

// ---- Escaping

std::string Url::escape(std::string_view text, std::string_view extraCharactersToEscape) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (IsLegal(c) && extraCharactersToEscape.find(c) == std::string_view::npos) {
      result.push_back(c);
    } else {
      auto byte = static_cast<unsigned char>(c);
      result.push_back('%');
      result.push_back(kHex[byte >> 4]);
      result.push_back(kHex[byte & 15]);
    }
  }
  return result;
}

std::optional<std::string> Url::unescape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2])) return std::nullopt;
    result.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
    i += 2;
  }
  if (!IsValidUtf8(result)) return std::nullopt;
  return result;
}

// ---- Parsing

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  Url url;
  std::string_view rest = text;

  std::size_t colon = rest.find(':');
  std::size_t delimiter = rest.find_first_of("/?#");
  if (colon != std::string_view::npos && (delimiter == std::string_view::npos || colon < delimiter) &&
      IsValidScheme(rest.substr(0, colon))) {
    url.scheme_ = std::string(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  }

  std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    url.hasFragment_ = true;
    url.fragment_ = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
    if (!IsValidComponent(url.fragment_)) return std::nullopt;
  }
  std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    url.hasQuery_ = true;
    url.query_ = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
    if (!IsValidComponent(url.query_)) return std::nullopt;
  }

  if (rest.substr(0, 2) == "//") {
    url.hasAuthority_ = true;
    rest.remove_prefix(2);
    std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      url.hasUserInfo_ = true;
      std::string_view userInfo = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      std::size_t separator = userInfo.find(':');
      if (separator != std::string_view::npos) {
        url.hasPassword_ = true;
        url.password_ = std::string(userInfo.substr(separator + 1));
        userInfo = userInfo.substr(0, separator);
      }
      url.user_ = std::string(userInfo);
      if (!IsValidComponent(url.user_, "@/?") || !IsValidComponent(url.password_, "@/?")) return std::nullopt;
    }

    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
      std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      url.hostIsIpLiteral_ = true;
      url.host_ = std::string(authority.substr(1, close - 1));
      if (!IsValidIpLiteral(url.host_)) return std::nullopt;
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        hasPort = true;
        portText = after.substr(1);
      }
    } else {
      std::size_t portColon = authority.rfind(':');
      if (portColon != std::string_view::npos) {
        hasPort = true;
        portText = authority.substr(portColon + 1);
        authority = authority.substr(0, portColon);
      }
      url.host_ = std::string(authority);
      if (!IsValidComponent(url.host_, ":@/?")) return std::nullopt;
    }
    if (hasPort && !portText.empty()) {
      unsigned long value = 0;
      for (char c : portText) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) return std::nullopt;
      }
      url.port_ = static_cast<std::uint16_t>(value);
    }
  }

  url.path_ = std::string(rest);
  if (!IsValidComponent(url.path_)) return std::nullopt;
  url.text_ = std::string(text);
  return url;
}

std::optional<Url> Url::URLWithString(std::string_view text) { return parse(text); }

std::optional<Url> Url::URLWithString(std::string_view text, const Url& base) {
  auto reference = parse(text);
  if (!reference) return std::nullopt;
  if (!reference->scheme_.empty() || base.isEmpty()) {
    Url result = *reference;
    result.path_ = RemoveDotSegments(result.path_);
    result.compose();
    return result;
  }
  Url result = *reference;
  result.scheme_ = base.scheme_;
  if (!reference->hasAuthority_) {
    result.hasAuthority_ = base.hasAuthority_;
    result.hasUserInfo_ = base.hasUserInfo_;
    result.user_ = base.user_;
    result.hasPassword_ = base.hasPassword_;
    result.password_ = base.password_;
    result.host_ = base.host_;
    result.hostIsIpLiteral_ = base.hostIsIpLiteral_;
    result.port_ = base.port_;
    if (reference->path_.empty()) {
      result.path_ = base.path_;
      if (!reference->hasQuery_) {
        result.hasQuery_ = base.hasQuery_;
        result.query_ = base.query_;
      }
    } else if (reference->path_[0] == '/') {
      result.path_ = RemoveDotSegments(reference->path_);
    } else {
      std::string merged;
      if (base.hasAuthority_ && base.path_.empty()) {
        merged = "/" + reference->path_;
      } else {
        std::size_t slash = base.path_.rfind('/');
        merged = (slash == std::string::npos ? std::string() : base.path_.substr(0, slash + 1)) + reference->path_;
      }
      result.path_ = RemoveDotSegments(merged);
    }
  } else {
    result.path_ = RemoveDotSegments(result.path_);
  }
  result.compose();
  return result;
}

void Url::compose() {
  std::string text;
  if (!scheme_.empty()) text += scheme_ + ":";
  if (hasAuthority_) {
    text += "//";
    if (hasUserInfo_) {
      text += user_;
      if (hasPassword_) text += ":" + password_;
      text += "@";
    }
    text += hostIsIpLiteral_ ? "[" + host_ + "]" : host_;
    if (port_) text += ":" + std::to_string(*port_);
    if (!path_.empty() && path_[0] != '/') path_.insert(0, "/");
  } else if (path_.substr(0, 2) == "//") {
    path_.insert(0, "/.");  // keeps the path from reading as an authority
  } else if (scheme_.empty() && path_.find(':') < path_.find('/')) {
    path_.insert(0, "./");  // keeps a first segment with ":" from reading as a scheme
  }
  text += path_;
  if (hasQuery_) text += "?" + query_;
  if (hasFragment_) text += "#" + fragment_;
  text_ = std::move(text);
}

// ---- Building

std::optional<Url> Url::URLWithScheme(std::string_view scheme, std::string_view user, std::string_view password,
                                      std::string_view host, std::uint16_t port, std::string_view path,
                                      std::string_view query) {
  if (scheme.empty() || host.empty()) return std::nullopt;
  std::string text = std::string(scheme) + "://";
  if (!user.empty()) {
    text += escape(user, ":@/?");
    if (!password.empty()) text += ":" + escape(password, ":@/?");
    text += "@";
  }
  if (host.find(':') != std::string_view::npos && host.front() != '[') {
    text += "[" + std::string(host) + "]";
  } else {
    text += host;
  }
  if (port != 0) text += ":" + std::to_string(port);
  if (!path.empty()) {
    if (path.front() != '/') text += "/";
    text += escape(path);
  }
  if (!query.empty()) text += "?" + escape(query);
  auto url = parse(text);
  if (!url) return std::nullopt;
  return url->standardized();
}

std::optional<Url> Url::URLWithScheme(std::string_view scheme, std::string_view host, std::string_view path) {
  return URLWithScheme(scheme, {}, {}, host, 0, path);
}

Url Url::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (absolute.empty() || absolute[0] != '/') {
    char buffer[PATH_MAX];
    std::string directory = getcwd(buffer, sizeof buffer) ? buffer : "/";
    if (directory.back() != '/') directory += '/';
    absolute = directory + absolute;
  }
  if (isDirectory && absolute.back() != '/') absolute += '/';
  Url url;
  url.scheme_ = "file";
  url.hasAuthority_ = true;
  url.path_ = escape(absolute, "?;");
  url.compose();
  return url;
}

// ---- Components

std::string Url::user() const { return DecodedOrRaw(user_); }

std::string Url::host() const { return DecodedOrRaw(host_); }

std::string Url::path() const {
  std::string decoded = DecodedOrRaw(path_);
  if (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

bool Url::isFileURL() const {
  return scheme_.size() == 4 && (scheme_[0] | 0x20) == 'f' && (scheme_[1] | 0x20) == 'i' &&
         (scheme_[2] | 0x20) == 'l' && (scheme_[3] | 0x20) == 'e';
}

std::optional<std::string> Url::passwordByReplacingPercentEscapes() const {
  if (password_.empty()) return std::nullopt;
  return unescape(password_);
}

std::optional<std::string> Url::queryByReplacingPercentEscapes() const {
  if (query_.empty()) return std::nullopt;
  return unescape(query_);
}

std::optional<Url> Url::URLByDeletingPassword() const {
  Url url = *this;
  url.hasPassword_ = false;
  url.password_.clear();
  url.hasQuery_ = false;
  url.query_.clear();
  url.hasFragment_ = false;
  url.fragment_.clear();
  url.compose();
  return url;
}

std::optional<Url> Url::URLByDeletingUserAndPassword() const {
  std::optional<Url> url = URLByDeletingPassword();
  url->hasUserInfo_ = false;
  url->user_.clear();
  url->compose();
  return url;
}

Url Url::standardized() const {
  Url url = *this;
  url.path_ = RemoveDotSegments(path_);
  url.compose();
  return url;
}

std::vector<std::string> Url::pathComponents() const {
  std::vector<std::string> components;
  std::string decoded = DecodedOrRaw(path_);
  if (!decoded.empty() && decoded[0] == '/') components.push_back("/");
  std::size_t start = 0;
  while (start < decoded.size()) {
    std::size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    if (end > start) components.push_back(decoded.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

std::string Url::lastPathComponent() const {
  auto components = pathComponents();
  return components.empty() ? std::string() : components.back();
}

Url Url::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
  Url url = *this;
  if (url.path_.empty() || url.path_.back() != '/') url.path_ += '/';
  url.path_ += escape(component, "?;");
  if (isDirectory && url.path_.back() != '/') url.path_ += '/';
  url.compose();
  return url;
}

Url Url::URLByDeletingLastPathComponent() const {
  Url url = *this;
  std::string& path = url.path_;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    path.clear();
  } else {
    path.erase(slash + 1);
  }
  url.compose();
  return url;
}

bool Url::isEqualToObject(const Object& other) const {
  const auto* url = dynamic_cast<const Url*>(&other);
  return url && *url == *this;
}

}  // namespace quorvel
