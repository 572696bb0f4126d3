// Revisions crafted to cost as much as possible to decode: each is smaller
// than 1 MiB and must be refused within 10 seconds by a process limited to
// 512 MiB. Every decode runs in a forked child, so that a runaway decoder is
// stopped by the limit instead of taking the machine with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "foundation/DataTransforms.h"
#include "foundation/KeyedUnarchiver.h"
#include "foundation/PropertyList.h"
#include "foundation/TypedStreamFormat.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/DirectoryScannerSerialization.h"
#include "support/TestSupport.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVEL_SANITIZED_ALLOCATOR 1
#include <sanitizer/allocator_interface.h>
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#ifndef QUORVEL_SANITIZED_ALLOCATOR
#define QUORVEL_SANITIZED_ALLOCATOR 1
#include <sanitizer/allocator_interface.h>
#endif
#endif

namespace quorvel {
namespace {

constexpr std::uint64_t kMemoryLimit = std::uint64_t{512} << 20;
constexpr unsigned kTimeLimitSeconds = 10;

// Child exit codes (a sanitizer's report exits with 1).
constexpr int kRefused = 0;
constexpr int kDecoded = 2;
constexpr int kOverMemory = 3;

// Runs decode in a child limited to kMemoryLimit and kTimeLimitSeconds.
// Sanitizer runtimes reserve terabytes of address space up front, so there
// the limit is kept on the heap the allocator hands out (polled every few
// milliseconds) instead of on the address space.
int RunLimited(const std::function<bool()>& decode) {
  pid_t child = fork();
  if (child == 0) {
    alarm(kTimeLimitSeconds);
#ifdef QUORVEL_SANITIZED_ALLOCATOR
    std::thread([] {
      for (;;) {
        if (__sanitizer_get_current_allocated_bytes() > kMemoryLimit) _exit(kOverMemory);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }).detach();
#else
    rlimit limit{kMemoryLimit, kMemoryLimit};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
#endif
    bool decoded = false;
    try {
      decoded = decode();
    } catch (const std::bad_alloc&) {
      _exit(kOverMemory);
    }
    _exit(decoded ? kDecoded : kRefused);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// ---- keyed archives, as revisions hold them (a length-prefixed zlib block)

Value ArchivePlist(Array objects, std::uint64_t root) {
  return Value(Dictionary{{"$version", Value(100000)},
                          {"$objects", Value(std::move(objects))},
                          {"$archiver", Value("NSKeyedArchiver")},
                          {"$top", Value(Dictionary{{"root", Value(Uid{root})}})}});
}

Value ClassEntry(const std::string& name) {
  return Value(Dictionary{{"$classname", Value(name)}, {"$classes", Value(Array{Value(name), Value("NSObject")})}});
}

Data Revision(const Value& plist) {
  auto archive = PropertyList::writeBinary(plist);
  EXPECT_TRUE(archive);
  auto block = DataTransforms::compressGZip(archive ? *archive : Data());
  EXPECT_TRUE(block);
  return block ? *block : Data();
}

// 400 objects each holding a reference to the next inside 300 nested arrays:
// 120,000 levels in all.
Data DeepAcrossReferences() {
  Array objects{Value("$null"), ClassEntry("NSArray")};
  for (int i = 0; i < 400; ++i) {
    Value inner(Uid{objects.size() + 1});
    for (int level = 0; level < 300; ++level) {
      Array wrapper;
      wrapper.push_back(std::move(inner));
      inner = Value(std::move(wrapper));
    }
    objects.push_back(Value(Dictionary{{"NS.objects", Value(Array{inner})}, {"$class", Value(Uid{1})}}));
  }
  objects.push_back(Value("leaf"));
  return Revision(ArchivePlist(std::move(objects), 2));
}

// A 16 KB text shared 64 times per level over three levels: 4 GiB of text.
Data SharedFanOut() {
  Array objects{Value("$null"), ClassEntry("NSArray"), Value(std::string(16 << 10, 'x'))};
  std::uint64_t target = 2;
  for (int level = 0; level < 3; ++level) {
    objects.push_back(Value(Dictionary{{"NS.objects", Value(Array(64, Value(Uid{target})))}, {"$class", Value(Uid{1})}}));
    target = objects.size() - 1;
  }
  return Revision(ArchivePlist(std::move(objects), target));
}

// Forty arrays each referring to the next twice: 2^40 values.
Data DoublingChain() {
  Array objects{Value("$null"), ClassEntry("NSArray")};
  for (int level = 0; level < 40; ++level) {
    std::uint64_t next = objects.size() + 1;
    objects.push_back(
        Value(Dictionary{{"NS.objects", Value(Array{Value(Uid{next}), Value(Uid{next})})}, {"$class", Value(Uid{1})}}));
  }
  objects.push_back(Value("leaf"));
  return Revision(ArchivePlist(std::move(objects), 2));
}

// ---- typed streams

Value Stored(const std::string& className, std::vector<TypedStreamGroup> groups) {
  auto cls = TypedStreamClass::fromChain({typedstream::ClassInfo{className, 0}, typedstream::ClassInfo{"NSObject", 0}});
  return Value(std::make_shared<TypedStreamObject>(cls, std::move(groups)));
}

// A 16 KB string referred back to 64 times per level over three levels.
Data TypedStreamFanOut() {
  Value shared = Stored("NSString", {{{"+"}, Array{Value(Data(16 << 10, 'x'))}}});
  for (int level = 0; level < 3; ++level) {
    std::vector<TypedStreamGroup> groups{{{"i"}, Array{Value(64)}}};
    for (int i = 0; i < 64; ++i) groups.push_back({{"@"}, Array{shared}});
    shared = Stored("NSArray", std::move(groups));
  }
  auto bytes = TypedStreamWriter::archivedDataWithRootObject(shared);
  EXPECT_TRUE(bytes);
  return bytes ? *bytes : Data();
}

// ---- compression bombs and wide lists

// `size` bytes of `fill` deflated in one stream: zlib (with the 4-byte length
// prefix revisions carry) or gzip.
enum class Wrapping { LengthPrefixedZlib, GZip };
Data Deflated(const std::string& head, char fill, std::size_t size, const std::string& tail, Wrapping wrapping) {
  z_stream stream{};
  const int windowBits = wrapping == Wrapping::GZip ? 15 + 16 : 15;
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY), Z_OK);
  Data out;
  if (wrapping == Wrapping::LengthPrefixedZlib) {
    std::uint64_t length = head.size() + size + tail.size();
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  std::string chunk(std::size_t{1} << 20, fill);
  auto feed = [&](const void* bytes, std::size_t count, int flush) {
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    stream.avail_in = static_cast<uInt>(count);
    std::uint8_t buffer[1 << 16];
    do {
      stream.next_out = buffer;
      stream.avail_out = sizeof buffer;
      deflate(&stream, flush);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
    } while (stream.avail_out == 0 || (flush == Z_FINISH && stream.avail_in > 0));
  };
  feed(head.data(), head.size(), Z_NO_FLUSH);
  for (std::size_t left = size; left > 0;) {
    std::size_t count = std::min(left, chunk.size());
    feed(chunk.data(), count, Z_NO_FLUSH);
    left -= count;
  }
  feed(tail.data(), tail.size(), Z_FINISH);
  deflateEnd(&stream);
  return out;
}

std::string Repeated(const std::string& unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

constexpr std::size_t kBombSize = std::size_t{900} << 20;

// A binary property list whose top array refers `count` times to one value,
// each reference one byte.
std::string WideBinaryArray(std::size_t count) {
  std::string list = "bplist00";
  list += static_cast<char>(0xAF);  // array, count follows
  list += static_cast<char>(0x13);  // 8-byte integer
  for (int shift = 56; shift >= 0; shift -= 8) list += static_cast<char>(count >> shift);
  list += std::string(count, '\x01');
  const std::uint64_t second = list.size();
  list += static_cast<char>(0x09);  // true
  const std::uint64_t table = list.size();
  for (int shift = 56; shift >= 0; shift -= 8) list += static_cast<char>(std::uint64_t{8} >> shift);
  for (int shift = 56; shift >= 0; shift -= 8) list += static_cast<char>(second >> shift);
  std::string trailer(6, '\0');
  trailer += static_cast<char>(8);  // offset size
  trailer += static_cast<char>(1);  // reference size
  for (std::uint64_t field : {std::uint64_t{2}, std::uint64_t{0}, table})
    for (int shift = 56; shift >= 0; shift -= 8) trailer += static_cast<char>(field >> shift);
  return list + trailer;
}

// A stored file is allowed more the larger it is, so each list below is
// padded with what does not compress to just under 1 MiB: random bytes after
// the compressed block, or a comment of random letters in the XML.
std::string RandomLetters(std::size_t count) {
  std::string letters(count, 'a');
  std::uint64_t state = 88172645463325252ull;
  for (char& letter : letters) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    letter = static_cast<char>('a' + state % 26);
  }
  return letters;
}

Data PaddedBlock(Data block) {
  std::string padding = RandomLetters((std::size_t{1} << 20) - 1 - block.size());
  block.insert(block.end(), padding.begin(), padding.end());
  return block;
}

std::string XmlList(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- " + RandomLetters(1'300'000) +
         " -->\n<plist version=\"1.0\">\n" + body + "</plist>\n";
}

TEST(HostileRevision, EachIsRefusedWithinTimeAndMemoryLimits) {
  struct Case {
    const char* what;
    Data bytes;
    std::function<bool(const Data&)> decode;
  };
  auto asRevision = [](const Data& data) { return DirectoryScanner::initWithSerializedData(data) != nullptr; };
  auto asKeyedArchive = [](const Data& data) {
    auto archive = DataTransforms::decompressGZip(data);
    return archive && KeyedUnarchiver::unarchiveObjectWithData(*archive).has_value();
  };
  auto asTypedStream = [](const Data& data) { return TypedStreamReader::unarchiveObjectWithData(data).has_value(); };
  Data deep = DeepAcrossReferences();
  Data shared = SharedFanOut();
  std::vector<Case> cases;
  cases.push_back({"nesting spread over references", deep, asRevision});
  cases.push_back({"nesting spread over references (archive)", deep, asKeyedArchive});
  cases.push_back({"text shared through references", shared, asRevision});
  cases.push_back({"text shared through references (archive)", shared, asKeyedArchive});
  cases.push_back({"references doubling at each level", DoublingChain(), asRevision});
  cases.push_back({"typed-stream back-references", TypedStreamFanOut(), asTypedStream});
  test::TempDir scratch;
  auto asRevisionFile = [&scratch](const Data& data) {
    std::string path = scratch.path() + "/Revision_0001.plist.gz";
    test::WriteFile(path, data);
    return DirectoryScanner::initWithFile(path) != nullptr;
  };
  cases.push_back({"zeros inflating to 900 MiB", Deflated("", '\0', kBombSize, "", Wrapping::LengthPrefixedZlib),
                   asRevision});
  cases.push_back({"gzip file inflating to 900 MiB", Deflated("", ' ', kBombSize, "", Wrapping::GZip), asRevisionFile});
  // Lists that inflate to just under what a file of their size may inflate
  // to, and expand from there: only the decoding budget stops them.
  cases.push_back({"binary list of 50 million references",
                   PaddedBlock(Deflated(WideBinaryArray(50'000'000), '\0', 0, "", Wrapping::LengthPrefixedZlib)),
                   asRevision});
  cases.push_back({"XML list of 7 million values",
                   Deflated(XmlList("<array>" + Repeated("<true/>", 7'000'000) + "</array>"), ' ', 0, "", Wrapping::GZip),
                   asRevisionFile});
  cases.push_back({"XML list of 7 million dictionaries",
                   Deflated(XmlList("<dict><key>directories</key><array>" + Repeated("<dict/>", 7'000'000) +
                                    "</array></dict>"),
                            ' ', 0, "", Wrapping::GZip),
                   asRevisionFile});
  cases.push_back({"XML list of 1.8 million texts",
                   Deflated(XmlList("<array>" + Repeated("<string>xxxxxxxxxx</string>", 1'800'000) + "</array>"), ' ', 0,
                            "", Wrapping::GZip),
                   asRevisionFile});
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.what;
    EXPECT_LT(c.bytes.size(), std::size_t{1} << 20) << c.what;
    auto started = std::chrono::steady_clock::now();
    int outcome = RunLimited([&c] { return c.decode(c.bytes); });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(outcome, kRefused) << c.what << " (1: a sanitizer report, " << kDecoded << ": decoded, " << kOverMemory
                                 << ": over the memory limit, 1014: over the time limit, 10xx: another signal)";
    EXPECT_LT(seconds, kTimeLimitSeconds) << c.what;
    std::cerr << c.what << ": " << c.bytes.size() << " bytes, refused in " << seconds << " s\n";
  }
}

using namespace snapshotarchive;

// An honest snapshot of `files` files in folders of 200, as the property-list
// form holds it.
Value HonestSnapshot(int files) {
  Dictionary directories;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int folder = 0; folder * 200 < files; ++folder) {
    Dictionary entries;
    for (int i = 0; i < 200 && folder * 200 + i < files; ++i) {
      Dictionary item;
      item.set(kNodeIDKey, Value(folder * 200 + i + 2));
      item.set(kItemRevisionKey, Value(1 + static_cast<int>(next() % 40)));
      item.set(kCreationDateKey, Value(Date::fromUnixTime(1.6e9 + static_cast<double>(next() % 100'000'000))));
      item.set(kModificationDateKey, Value(Date::fromUnixTime(1.6e9 + static_cast<double>(next() % 100'000'000))));
      item.set(kDataSizeKey, Value(static_cast<unsigned long long>(next() % 5'000'000)));
      item.set(kModeKey, Value(0100644u));
      entries.set("document-" + std::to_string(next() % 1'000'000) + "-" + std::to_string(i) + ".txt", Value(std::move(item)));
    }
    directories.set("projects/folder-" + std::to_string(folder), Value(std::move(entries)));
  }
  return Value(Dictionary{{std::string(kVersionKey), Value(3)},
                          {std::string(kRootPathKey), Value("/home/someone")},
                          {std::string(kRevisionKey), Value(40)},
                          {std::string(kDirectoriesKey), Value(std::move(directories))}});
}

// What the limits must not refuse: snapshots of their size made by the
// program, in both stored forms, read by a process within the same limits.
TEST(HostileRevision, HonestRevisionsOfTheirSizeAreRead) {
  test::TempDir scratch;
  auto scanner = DirectoryScanner::initWithPropertyList(HonestSnapshot(40'000));
  ASSERT_TRUE(scanner);
  const std::string file = scratch / "Revision_0040.plist.gz";
  ASSERT_TRUE(scanner->writeToFile(file));
  auto compact = scanner->serializedData();
  ASSERT_TRUE(compact);
  std::cerr << "40,000 files: " << test::ReadFile(file).size() << " bytes as a gzip XML list, " << compact->size()
            << " bytes compact\n";
  EXPECT_EQ(RunLimited([&] { return DirectoryScanner::initWithFile(file) != nullptr; }), kDecoded);
  EXPECT_EQ(RunLimited([&] { return DirectoryScanner::initWithSerializedData(*compact) != nullptr; }), kDecoded);
}

// The harness itself: a decoder that runs away is caught, not reported as
// refused.
TEST(HostileRevision, TheLimitsStopARunawayDecoder) {
  EXPECT_EQ(RunLimited([] {
              std::vector<Data> hoard;
              for (;;) hoard.emplace_back(std::size_t{16} << 20, 1);
              return false;
            }),
            kOverMemory);
  EXPECT_EQ(RunLimited([] { return true; }), kDecoded);
}

}  // namespace
}  // namespace quorvel
