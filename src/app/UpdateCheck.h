// The update check: once per launch, when the user allows it, ask the update
// server whether a newer version exists and offer its download page.
//
// The update URL is the user default "UpdateURL" (no value: no check). The
// request goes to that URL with the query
//   ?version=<this version>&model=<machine model>&os=<system version>
// percent-escaped as UTF-8, after the URL's own query when it has one (the
// HTTP client also reads its TLS words from that: "ca-file", "insecure-tls").
// The answer is a property list, a dictionary with the texts "version" (the
// newest version) and "downloadURL" (where to get it).
//
// The answer is not trusted: an "https" URL's certificate is checked by the
// HTTP client; an answer larger than kMaximumVersionFileSize, one that is not
// a property list, is not a dictionary, lacks either text, has an empty or
// overlong version, or names a download URL that is not "http" or "https"
// is no update. Every failure is one line in the system log and nothing for
// the user.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "foundation/Url.h"

namespace quorvel {

class OperationQueue;
class UserDefaults;

inline constexpr const char* kUpdateURLDefaultsKey = "UpdateURL";
inline constexpr const char* kCheckForUpdateOnLaunchDefaultsKey = "checkForUpdateOnLaunch";
// Largest version file read (bytes) and longest version text accepted.
inline constexpr std::uint64_t kMaximumVersionFileSize = 64 * 1024;
inline constexpr std::size_t kMaximumVersionLength = 64;

// What the query tells the server.
struct UpdateCheckSystemInfo {
  std::string version;    // this program's version
  std::string model;      // the machine's model (firmware product name, else the architecture)
  std::string osVersion;  // the system's version (os-release VERSION_ID, else the kernel release)
};
UpdateCheckSystemInfo CurrentSystemInfo();

// Orders two version texts: both are padded with ".0" components to the
// same count, a version of digits and dots only gets "z" appended (so that
// 2.0 orders after 2.0b3), and the texts are compared without case, digit
// runs by their value. Negative, 0 or positive as `a` orders before, with or
// after `b`.
int CompareVersions(const std::string& a, const std::string& b);

// The URL the version file is requested from; nothing for a malformed update URL.
std::optional<std::string> UpdateRequestURL(const std::string& updateURL, const UpdateCheckSystemInfo& info);

// The whole check, synchronous (any thread but the main one, which it
// would block): the download URL when the server offers a newer version
// than info.version.
std::optional<Url> CheckForNewVersion(const std::string& updateURL, const UpdateCheckSystemInfo& info);
// The same with the update URL from the defaults and this system's info.
std::optional<Url> CheckForNewVersion(UserDefaults& defaults);

// Runs the check as an operation on `queue` when the default
// "checkForUpdateOnLaunch" is set; a download URL found is handed to
// `didFindUpdate` on the main thread (posted, not waited for). An exception
// escaping the check is logged and ignored. True when the check was queued.
bool ScheduleUpdateCheck(OperationQueue& queue, UserDefaults& defaults,
                         std::function<void(const Url& downloadURL)> didFindUpdate);

// Opens a URL with the desktop's URL opener (xdg-open), without waiting.
bool OpenURLWithDesktopOpener(const Url& url);

}  // namespace quorvel
