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

#include "foundation/DataTransforms.h"
#include "foundation/KeyedUnarchiver.h"
#include "foundation/PropertyList.h"
#include "foundation/TypedStreamFormat.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "snapshot/DirectoryScanner.h"

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
