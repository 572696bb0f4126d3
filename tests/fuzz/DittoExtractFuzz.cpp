// libFuzzer target: archive extraction exactly as quorvel-ditto runs it
// (ExtractArchiveFromMemory is the tool's extraction on an in-memory
// archive instead of standard input), into a fresh folder each time, with a
// bill of materials that lets it extract a few items, a folder, companions
// and a name the archive may not hold. Nothing may crash, leak, hang or
// write outside the destination: the target checks that the scratch folder
// holds nothing but the BOM and the destination afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "Ditto.h"
#include "FuzzScratch.h"
#include "engine/ArchiveSupport.h"

namespace {

using namespace quorvel;

struct Setup {
  fuzz::ScratchFolder scratch{"quorvel-ditto-fuzz"};
  std::string bomPath = scratch.path() + "/bom";
  std::string destination = scratch.path() + "/out";
  int home = -1;

  Setup() {
    std::ofstream(bomPath, std::ios::binary)
        << BillOfMaterialsText({".", "./a", "./a/b.txt", "./a/._b.txt", "./a/c", "./a/._c", "./d.txt", "./._d.txt",
                                "./link", "./pipe", "./missing", "./e/f/g.txt"});
    home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static Setup setup;
  std::error_code error;
  std::filesystem::remove_all(setup.destination, error);
  if (!std::filesystem::create_directory(setup.destination, error)) std::abort();

  const int result = ditto::ExtractArchiveFromMemory({setup.bomPath, setup.destination}, bytes, size);
  if (fchdir(setup.home) != 0) std::abort();
  if (result != 0 && result != ditto::kExitPartial && result != ditto::kExitFatal) std::abort();

  // Nothing may appear beside the destination.
  for (const auto& entry : std::filesystem::directory_iterator(setup.scratch.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "bom" && name != "out") std::abort();
  }
  std::filesystem::remove_all(setup.destination, error);
  return 0;
}
