#include "app/UpdateCheck.h"

#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <cctype>
#include <exception>
#include <fstream>
#include <thread>

#include "FileTransferController/Error.h"
#include "FileTransferController/HTTPTransferController.h"
#include "foundation/DecodeBudget.h"
#include "foundation/Format.h"
#include "foundation/OperationQueue.h"
#include "foundation/PropertyList.h"
#include "foundation/RunLoop.h"
#include "foundation/SystemLog.h"
#include "foundation/UserDefaults.h"

extern char** environ;

namespace quorvel {

namespace {

// An HTTP client that sends its requests with a query (the transfer clients
// never send the base URL's query).
template <class Base>
class QueryingClient final : public Base {
 public:
  explicit QueryingClient(typename Base::ConstructionKey key) : Base(key) {}

  static std::shared_ptr<QueryingClient> create(const Url& url, std::string query) {
    std::shared_ptr<QueryingClient> client = QueryingClient::template makeController<QueryingClient>(url);
    if (client) client->query_ = std::move(query);
    return client;
  }

 protected:
  bool prepareRequest(typename Base::Request& request, Error* error) override {
    if (!query_.empty()) request.url += "?" + query_;
    return Base::prepareRequest(request, error);
  }

 private:
  std::string query_;
};

std::string Trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

std::string FirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return Trimmed(line);
}

std::string OsReleaseVersion() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      if (!line.starts_with("VERSION_ID=")) continue;
      std::string value = Trimmed(line.substr(11));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return {};
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Pads to `components` dot-separated parts and marks plain releases.
std::string Normalized(std::string version, std::size_t components) {
  for (std::size_t count = Split(version, '.').size(); count < components; ++count) version += ".0";
  if (version.find_first_not_of("0123456789.") == std::string::npos) version += "z";
  return version;
}

// Case-insensitive comparison with digit runs compared by value.
int CompareNumerically(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && isDigit(a[endA])) ++endA;
      while (endB < b.size() && isDigit(b[endB])) ++endB;
      std::size_t startA = a.find_first_not_of('0', i);
      std::size_t startB = b.find_first_not_of('0', j);
      startA = startA == std::string::npos || startA > endA ? endA : startA;
      startB = startB == std::string::npos || startB > endB ? endB : startB;
      const std::size_t lengthA = endA - startA;
      const std::size_t lengthB = endB - startB;
      if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
      if (int order = a.compare(startA, lengthA, b, startB, lengthB); order != 0) return order < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    const int left = std::tolower(static_cast<unsigned char>(a[i]));
    const int right = std::tolower(static_cast<unsigned char>(b[j]));
    if (left != right) return left < right ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::string DisplayURL(const std::string& text) {
  std::optional<Url> url = Url::URLWithString(text);
  if (!url) return text;
  std::optional<Url> shown = url->URLByDeletingUserAndPassword();
  return (shown ? *shown : *url).absoluteString();
}

// The query sent: the update URL's own, then what this system tells.
std::string UpdateQuery(const Url& base, const UpdateCheckSystemInfo& info) {
  const std::string own = base.query();
  return (own.empty() ? std::string() : own + "&") +
         Url::escape(Format("version=%@&model=%@&os=%@", info.version, info.model, info.osVersion), "#");
}

}  // namespace

UpdateCheckSystemInfo CurrentSystemInfo() {
  UpdateCheckSystemInfo info;
  info.version = QUORVEL_VERSION;
  utsname system{};
  const bool haveUname = uname(&system) == 0;
  info.model = FirstLine("/sys/class/dmi/id/product_name");
  if (info.model.empty() && haveUname) info.model = system.machine;
  info.osVersion = OsReleaseVersion();
  if (info.osVersion.empty() && haveUname) info.osVersion = system.release;
  return info;
}

int CompareVersions(const std::string& a, const std::string& b) {
  const std::size_t components = std::max(Split(a, '.').size(), Split(b, '.').size());
  return CompareNumerically(Normalized(a, components), Normalized(b, components));
}

std::optional<std::string> UpdateRequestURL(const std::string& updateURL, const UpdateCheckSystemInfo& info) {
  std::optional<Url> base = Url::URLWithString(updateURL);
  if (!base || (base->scheme() != "http" && base->scheme() != "https") || base->host().empty()) return std::nullopt;
  std::optional<Url> shown = base->URLByDeletingUserAndPassword();
  if (!shown) return std::nullopt;
  return shown->absoluteString() + "?" + UpdateQuery(*base, info);
}

std::optional<Url> CheckForNewVersion(const std::string& updateURL, const UpdateCheckSystemInfo& info) {
  const std::optional<std::string> requestURL = UpdateRequestURL(updateURL, info);
  const std::string shown = requestURL ? *requestURL : DisplayURL(updateURL);
  std::optional<Data> data;
  if (requestURL) {
    const Url base = *Url::URLWithString(updateURL);
    const std::string query = UpdateQuery(base, info);
    std::shared_ptr<HTTPTransferController> client;
    if (base.scheme() == "https") {
      client = QueryingClient<SecureHTTPTransferController>::create(base, query);
    } else {
      client = QueryingClient<HTTPTransferController>::create(base, query);
    }
    if (client) {
      client->setTimeOut(30.0);
      data = client->downloadFileFromPathToData("", kMaximumVersionFileSize);
    }
  }
  if (!data) {
    SystemLog("Failed downloading version info from \"%@\"", shown);
    return std::nullopt;
  }

  DecodeBudget budget = DecodeBudget::forInput(data->size());
  Expected<Value> parsed = PropertyList::read(*data, budget);
  const Value* root = parsed ? &parsed.value() : nullptr;
  const Value* version = root && root->isDictionary() ? root->asDictionary().find("version") : nullptr;
  const Value* download = root && root->isDictionary() ? root->asDictionary().find("downloadURL") : nullptr;
  std::optional<Url> downloadURL =
      download && download->isString() ? Url::URLWithString(download->asString()) : std::nullopt;
  if (!version || !version->isString() || version->asString().empty() ||
      version->asString().size() > kMaximumVersionLength || !downloadURL ||
      (downloadURL->scheme() != "http" && downloadURL->scheme() != "https") || downloadURL->host().empty()) {
    SystemLog("Failed parsing version info from \"%@\"", shown);
    return std::nullopt;
  }

  if (CompareVersions(version->asString(), info.version) > 0) {
    SystemLog("A new version '%@' is available", version->asString());
    return downloadURL;
  }
  SystemLog("Version '%@' is up-to-date", info.version);
  return std::nullopt;
}

std::optional<Url> CheckForNewVersion(UserDefaults& defaults) {
  const std::string updateURL = defaults.stringForKey(kUpdateURLDefaultsKey);
  if (updateURL.empty()) return std::nullopt;
  return CheckForNewVersion(updateURL, CurrentSystemInfo());
}

bool ScheduleUpdateCheck(OperationQueue& queue, UserDefaults& defaults,
                         std::function<void(const Url& downloadURL)> didFindUpdate) {
  if (!defaults.boolForKey(kCheckForUpdateOnLaunchDefaultsKey)) return false;
  queue.addOperationWithBlock([&defaults, didFindUpdate = std::move(didFindUpdate)] {
    std::optional<Url> found;
    try {
      found = CheckForNewVersion(defaults);
    } catch (const std::exception& exception) {
      SystemLog("<IGNORED EXCEPTION> %@", std::string(exception.what()));
    }
    if (found && didFindUpdate) PerformOnMainThread([didFindUpdate, url = *found] { didFindUpdate(url); });
  });
  return true;
}

bool OpenURLWithDesktopOpener(const Url& url) {
  const std::string text = url.absoluteString();
  char program[] = "xdg-open";
  std::vector<char> argument(text.begin(), text.end());
  argument.push_back('\0');
  char* arguments[] = {program, argument.data(), nullptr};
  pid_t child = 0;
  if (posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) != 0) {
    SystemLog("%s: Failed launching \"xdg-open\"", __func__);
    return false;
  }
  // Reaped in the background: the opener may run as long as it likes.
  std::thread([child] { waitpid(child, nullptr, 0); }).detach();
  return true;
}

}  // namespace quorvel
