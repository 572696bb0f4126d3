// libFuzzer target: the compact form of a snapshot. The input is taken three
// ways: as the stored bytes themselves (mostly stopped by the compressed
// block's checks), as the keyed archive inside an intact compressed block,
// and as a directory archive inside an intact keyed archive, so that every
// reader behind the block sees hostile bytes. Whatever reads back must store
// and read again. Nothing may crash, leak or run away.
#include <cstddef>
#include <cstdint>

#include "foundation/DataTransforms.h"
#include "foundation/KeyedArchiver.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/DirectoryScannerSerialization.h"

namespace {

using namespace quorvel;

// A keyed archive of a small snapshot with room for a directory archive.
class ScannerWithDirectoryArchive : public Object, public KeyedCoding {
 public:
  explicit ScannerWithDirectoryArchive(const Data& directoryArchive) : directoryArchive_(directoryArchive) {}
  std::string className() const override { return "DirectoryScanner"; }
  void encodeWithCoder(KeyedArchiver& archiver) const override {
    archiver.encodeInt(1, "version");
    archiver.encodeObject(Value("/srv/source"), "rootPath");
    archiver.encodeInt(3, "revision");
    archiver.encodeBool(true, "scanMetadata");
    archiver.encodeBool(true, "sortPaths");
    archiver.encodeBool(false, "excludeHiddenItems");
    archiver.encodeBool(false, "excludeDSStoreFiles");
    archiver.encodeObject(Value(Dictionary{}), "userInfo");
    archiver.encodeObject(Value(), "exclusionPredicate");
    archiver.encodeBytes(directoryArchive_, "directoryData");
  }

 private:
  Data directoryArchive_;
};

void ReadAndStoreAgain(const Data& compact) {
  auto scanner = DirectoryScanner::initWithSerializedData(compact);
  if (!scanner) return;
  auto again = scanner->serializedData();
  if (again) DirectoryScanner::initWithSerializedData(*again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Data input(bytes, bytes + size);
  ReadAndStoreAgain(input);
  if (auto block = snapshotarchive::CompressArchive(input)) ReadAndStoreAgain(*block);
  auto holder = std::make_shared<ScannerWithDirectoryArchive>(input);
  if (auto archive = KeyedArchiver::archivedDataWithRootObject(Value(holder)))
    if (auto block = snapshotarchive::CompressArchive(*archive)) ReadAndStoreAgain(*block);
  return 0;
}
