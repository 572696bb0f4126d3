// fuzz-corpus-writer OUTDIR SAMPLEDIR: writes seed inputs for the fuzz
// targets with the project's own writers, into OUTDIR/<Target>/. SAMPLEDIR
// is a small folder tree (made by make-corpus.sh) that is scanned for the
// snapshot forms. The CPIO archives and the tool-written bills of materials
// come from make-corpus.sh, which runs quorvel-mkbom and quorvel-ditto.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "foundation/AppleDouble.h"
#include "foundation/DataTransforms.h"
#include "foundation/Keychain.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Predicate.h"
#include "foundation/PropertyList.h"
#include "foundation/TypedStreamWriter.h"
#include "foundation/Url.h"
#include "snapshot/DirectoryScanner.h"

namespace {

using namespace quorvel;

std::string outdir;

void Write(const std::string& target, const std::string& name, const Data& data) {
  std::filesystem::create_directories(outdir + "/" + target);
  std::ofstream(outdir + "/" + target + "/" + name, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void Write(const std::string& target, const std::string& name, const std::string& text) {
  Write(target, name, Data(text.begin(), text.end()));
}

template <typename T>
T Need(const std::optional<T>& value, const char* what) {
  if (!value) {
    std::fprintf(stderr, "fuzz-corpus-writer: %s failed\n", what);
    std::exit(1);
  }
  return *value;
}

template <typename T>
T Need(const Expected<T>& value, const char* what) {
  if (!value) {
    std::fprintf(stderr, "fuzz-corpus-writer: %s failed: %s\n", what, value.status().message().c_str());
    std::exit(1);
  }
  return *value;
}

Data Bytes(const std::string& text) { return Data(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz-corpus-writer OUTDIR SAMPLEDIR\n");
    return 2;
  }
  outdir = argv[1];
  const std::string sample = argv[2];

  const Value plist = Dictionary{{"name", "Crème brûlée"},
                                 {"size", 4096},
                                 {"ratio", 0.25},
                                 {"when", Date(1000)},
                                 {"flags", Array{true, false, -7}},
                                 {"blob", Bytes("\x00\x01\xfe\xff")}};
  const Value small = Array{"a", 1, Dictionary{{"k", "v"}}};

  // Property lists, both forms.
  Write("PropertyListFuzz", "dictionary.bplist", Need(PropertyList::writeBinary(plist), "writeBinary"));
  Write("PropertyListFuzz", "dictionary.xml", Need(PropertyList::writeXml(plist), "writeXml"));
  Write("PropertyListFuzz", "array.bplist", Need(PropertyList::writeBinary(small), "writeBinary"));
  Write("PropertyListFuzz", "array.xml", Need(PropertyList::writeXml(small), "writeXml"));

  // Keyed archives and typed streams.
  Write("KeyedArchiveFuzz", "dictionary", Need(KeyedArchiver::archivedDataWithRootObject(plist), "keyed archive"));
  Write("KeyedArchiveFuzz", "array", Need(KeyedArchiver::archivedDataWithRootObject(small), "keyed archive"));
  Write("TypedStreamFuzz", "dictionary", Need(TypedStreamWriter::archivedDataWithRootObject(
                                                  Dictionary{{"name", "x"}, {"size", 12}}), "typed stream"));
  Write("TypedStreamFuzz", "array", Need(TypedStreamWriter::archivedDataWithRootObject(small), "typed stream"));
  {
    TypedStreamWriter writer;
    writer.encodeValuesOfObjCTypes("i@d", Array{42, "text", 2.5});
    if (!writer.ok()) return 1;
    Write("TypedStreamFuzz", "values", writer.data());
  }

  // AppleDouble.
  {
    AppleDoubleContents contents;
    contents.finderInfo[0] = 'T';
    contents.finderInfo[1] = 'E';
    contents.attributes.emplace_back("user.comment", Bytes("a note"));
    contents.resourceFork = Bytes("resource fork bytes");
    Write("AppleDoubleFuzz", "full", Need(EncodeAppleDouble(contents), "AppleDouble"));
    AppleDoubleContents attributesOnly;
    attributesOnly.attributes.emplace_back("user.tag", Bytes("red"));
    Write("AppleDoubleFuzz", "attribute", Need(EncodeAppleDouble(attributesOnly), "AppleDouble"));
  }

  // Predicates and URLs, as the project prints them.
  for (const char* format : {"name == 'Old' AND size > 12", "ANY tags BEGINSWITH[c] 'a' OR NOT owner.name IN {'ann', 'bob'}",
                             "$PATH CONTAINS 'Docs' && $FILE_SIZE >= 4096", "DATE_MODIFIED < CAST(1000, 'NSDate')",
                             "name MATCHES '.*\\\\.tmp' || TRUEPREDICATE"}) {
    auto predicate = Predicate::predicateWithFormat(format);
    if (!predicate) {
      std::fprintf(stderr, "fuzz-corpus-writer: predicate \"%s\" does not parse\n", format);
      continue;
    }
    static int n = 0;
    Write("PredicateFuzz", "predicate" + std::to_string(++n), predicate->predicateFormat());
  }
  for (const char* text : {"sftp://ann:pw@files.example.com:2222/backups/Home%20Folder/", "file:///srv/source/a%20b",
                           "s3://bucket/prefix/?region=eu-west-1", "https://example.com/dav/x;y?q=1#f"}) {
    auto url = Url::URLWithString(text);
    if (!url) return 1;
    static int n = 0;
    Write("UrlFuzz", "url" + std::to_string(++n), url->standardized().absoluteString());
  }

  // Bills of materials and file lists.
  const std::vector<std::string> entries{"a/b.txt", "a/._b.txt", "d.txt", "e/f/g.txt", "link"};
  const std::string list = BomFileListText(entries);
  Write("BillOfMaterialsFuzz", "filelist", list);
  Write("BillOfMaterialsFuzz", "bom", BillOfMaterialsText(Need(ParseBomFileList(list), "file list")));

  // Data transforms.
  const Data plain = Bytes("Quorvel Varid keeps many small files in one archive.\n");
  Write("DataTransformsFuzz", "aes256", Need(DataTransforms::encryptAES256WithPassword(plain, "fuzz password"), "aes"));
  Write("DataTransformsFuzz", "block", Need(DataTransforms::compressGZip(plain), "compressGZip"));
  {
    const std::string path = outdir + "/DataTransformsFuzz/file.gz";
    std::filesystem::create_directories(outdir + "/DataTransformsFuzz");
    if (!DataTransforms::writeToGZipFile(plain, path)) return 1;
  }

  // Snapshots of the sample tree: compact and property-list forms.
  {
    auto scanner = DirectoryScanner::initWithRootDirectory(sample, true);
    if (!scanner || !scanner->scanRootDirectory()) {
      std::fprintf(stderr, "fuzz-corpus-writer: cannot scan %s\n", sample.c_str());
      return 1;
    }
    Write("SerializedSnapshotFuzz", "scan", Need(scanner->serializedData(), "serializedData"));
    const Value list = scanner->propertyList();
    Write("SnapshotPropertyListFuzz", "scan.xml", Need(PropertyList::writeXml(list), "writeXml"));
    Write("SnapshotPropertyListFuzz", "scan.bplist", Need(PropertyList::writeBinary(list), "writeBinary"));
  }

  // Keychain files, written by the file store itself.
  {
    const std::string path = outdir + "/KeychainFileFuzz/store";
    std::filesystem::create_directories(outdir + "/KeychainFileFuzz");
    std::filesystem::remove(path);
    auto store = CreateFileKeychainStore(path);
    if (!store->addPassword(KeychainItemKey::generic("Quorvel Varid", "backup"), "pa\tss%word").ok() ||
        !store->addPassword(KeychainItemKey::internet("files.example.com", "ann", "/backups", 2222,
                                                      kKeychainProtocolSSH),
                            "secret\n").ok())
      return 1;
    std::filesystem::remove(path + ".lock");
  }
  return 0;
}
