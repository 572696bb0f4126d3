// libFuzzer target: the keychain file store reading a store file of any
// bytes. A file that loads must answer lookups, take a new item and keep
// answering with the item added; a damaged file must be reported as such
// and left alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "FuzzScratch.h"
#include "foundation/Keychain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quorvel;
  static const fuzz::ScratchFolder scratch("quorvel-keychain-fuzz");
  static const std::string path = scratch.path() + "/keychain";
  const std::string contents(reinterpret_cast<const char*>(bytes), size);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;

  auto store = CreateFileKeychainStore(path);
  KeychainItemKey generic;
  generic.service = "Quorvel Varid";
  generic.account = "backup";
  KeychainItemKey internet;
  internet.kind = KeychainItemKey::Kind::Internet;
  internet.server = "files.example.com";
  internet.account = "ann";
  internet.protocol = kKeychainProtocolAny;

  std::string password;
  KeychainStatus found = store->findPassword(generic, &password);
  store->findPassword(internet, &password);
  if (found.code() == kKeychainDecodeError) {
    std::ifstream in(path, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}) != contents) std::abort();
    return 0;
  }

  KeychainItemKey added;
  added.service = "fuzz\tservice%";
  added.account = "line\nfeed";
  if (store->addPassword(added, "secret\r\n").ok()) {
    if (!store->findPassword(added, &password).ok() || password != "secret\r\n") std::abort();
    if (store->findPassword(generic, &password).code() != found.code()) std::abort();
  }
  return 0;
}
