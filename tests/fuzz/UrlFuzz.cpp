// libFuzzer target: URL parsing, reference resolution, standardizing and
// percent escaping on arbitrary text, plus the string-table parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/LocalizedString.h"
#include "foundation/Url.h"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  static const Url base = *Url::URLWithString("http://user:pw@a/b/c/d;p?q");

  if (auto url = Url::URLWithString(text)) {
    if (url->absoluteString() != text) std::abort();
    (void)url->user();
    (void)url->host();
    (void)url->path();
    (void)url->pathComponents();
    (void)url->passwordByReplacingPercentEscapes();
    Url standard = url->standardized();
    if (!standard.isEmpty()) {
      auto reparsed = Url::URLWithString(standard.absoluteString());
      if (!reparsed || reparsed->host() != url->host() || reparsed->port() != url->port()) std::abort();
    }
    (void)url->URLByAppendingPathComponent("x y").absoluteString();
    (void)url->URLByDeletingLastPathComponent();
    (void)url->URLByDeletingUserAndPassword();
  }
  if (auto resolved = Url::URLWithString(text, base)) {
    if (!Url::URLWithString(resolved->absoluteString())) std::abort();
  }
  if (auto unescaped = Url::unescape(text)) {
    if (Url::unescape(Url::escape(*unescaped, ":@/?")) != unescaped) std::abort();
  }
  (void)ParseStringsFile(text);
  return 0;
}
