#include "foundation/DataTransforms.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace DataTransforms;

Data PseudoRandomData(std::size_t length, unsigned seed = 1) {
  std::mt19937 generator(seed);
  Data data(length);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
  return data;
}

std::string Hex(const std::optional<Data>& data) { return data ? HexStringFromData(*data) : "<nothing>"; }

// ---------------------------------------------------------------- digests

TEST(Digests, MatchKnownValuesIncludingTheEmptyMessage) {
  EXPECT_EQ(Hex(md5Digest(Data())), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(sha1Digest(Data())), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(md5Digest(DataFromString("abc"))), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(sha1Digest(DataFromString("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Digests, ByteRangeFormsDigestOnlyTheGivenRange) {
  const std::string text = "xxabcxx";
  EXPECT_EQ(Hex(md5DigestWithBytes(text.data() + 2, 3)), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(sha1DigestWithBytes(text.data() + 2, 3)), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(md5DigestWithBytes(nullptr, 0)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Digests, AgreeWithTheCommandLineToolOnLargeInput) {
  test::TempDir dir;
  Data data = PseudoRandomData(3 * 1024 * 1024 + 5);
  test::WriteFile(dir / "in", data);
  std::string md5, sha1;
  ASSERT_EQ(test::RunShell("openssl dgst -md5 -r '" + dir / "in" + "'", &md5), 0);
  ASSERT_EQ(test::RunShell("openssl dgst -sha1 -r '" + dir / "in" + "'", &sha1), 0);
  EXPECT_EQ(Hex(md5Digest(data)), md5.substr(0, 32));
  EXPECT_EQ(Hex(sha1Digest(data)), sha1.substr(0, 40));
}

TEST(HMac, MatchesTheReferenceVectorAndStopsTheKeyAtItsFirstNul) {
  Data message = DataFromString("what do ya want for nothing?");
  EXPECT_EQ(Hex(sha1HMacWithKey(message, "Jefe")), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(Hex(sha1HMacWithKey(message, std::string_view("Jefe\0ignored", 12))),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  // Empty key and message (a widely published value).
  EXPECT_EQ(Hex(sha1HMacWithKey(Data(), "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

// ---------------------------------------------------------------- Base64

TEST(Base64, EncodesWithPaddingAndNoLineBreaks) {
  EXPECT_EQ(encodeBase64(Data()).value_or("?"), "");
  EXPECT_EQ(encodeBase64(DataFromString("f")).value_or("?"), "Zg==");
  EXPECT_EQ(encodeBase64(DataFromString("fo")).value_or("?"), "Zm8=");
  EXPECT_EQ(encodeBase64(DataFromString("foo")).value_or("?"), "Zm9v");
  EXPECT_EQ(encodeBase64(DataFromString("foobar")).value_or("?"), "Zm9vYmFy");
  EXPECT_EQ(encodeBase64(Data{0xFB, 0xFF}).value_or("?"), "+/8=");
  auto longText = encodeBase64(PseudoRandomData(1000));
  ASSERT_TRUE(longText);
  EXPECT_EQ(longText->size(), 1336u);
  EXPECT_EQ(longText->find('\n'), std::string::npos);
}

TEST(Base64, DecodesWhatItEncodesWhateverTheLength) {
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 47u, 48u, 49u, 100000u}) {
    Data data = PseudoRandomData(length, static_cast<unsigned>(length));
    auto text = encodeBase64(data);
    ASSERT_TRUE(text);
    auto decoded = decodeBase64(*text);
    ASSERT_TRUE(decoded) << length;
    EXPECT_EQ(*decoded, data) << length;
  }
  EXPECT_EQ(decodeBase64("Zm9vYmFy").value_or(Data{9}), DataFromString("foobar"));
}

TEST(Base64, DecodingRefusesNonAsciiText) {
  EXPECT_FALSE(decodeBase64("Zm9v\xC3\xA9"));
  EXPECT_FALSE(decodeBase64("\xE2\x82\xAC"));
}

// ---------------------------------------------------------------- ciphers

struct CipherCase {
  const char* name;
  const char* opensslName;
  std::size_t blockSize;
  std::optional<Data> (*encrypt)(const Data&, std::string_view);
  std::optional<Data> (*decrypt)(const Data&, std::string_view);
};

const CipherCase kCiphers[] = {
    {"AES256", "aes-256-cbc", 16, encryptAES256WithPassword, decryptAES256WithPassword},
    {"AES128", "aes-128-cbc", 16, encryptAES128WithPassword, decryptAES128WithPassword},
    {"Blowfish", "bf-cbc", 8, encryptBlowfishWithPassword, decryptBlowfishWithPassword},
};

class PasswordCipher : public ::testing::TestWithParam<CipherCase> {
 protected:
  // The command line for `openssl enc` with this cipher and the password key derivation.
  std::string OpenSSL(const std::string& direction, const std::string& password, const std::string& in,
                      const std::string& out) {
    std::string providers =
        std::string(GetParam().opensslName) == "bf-cbc" ? " -provider legacy -provider default" : "";
    return "openssl enc " + direction + " -" + GetParam().opensslName + " -md md5 -nosalt -pass 'pass:" + password +
           "'" + providers + " -in '" + in + "' -out '" + out + "' 2>/dev/null";
  }
};

TEST_P(PasswordCipher, CiphertextIsPaddedToTheNextWholeBlock) {
  const std::size_t block = GetParam().blockSize;
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, block - 1, block, block + 1, 3 * block}) {
    auto ciphertext = GetParam().encrypt(PseudoRandomData(length), "secret");
    ASSERT_TRUE(ciphertext) << length;
    EXPECT_EQ(ciphertext->size(), (length / block + 1) * block) << length;
  }
}

TEST_P(PasswordCipher, EqualPasswordsGiveEqualOutputAndDifferentOnesDiffer) {
  Data data = PseudoRandomData(100);
  auto a = GetParam().encrypt(data, "pässwörd");
  auto b = GetParam().encrypt(data, "pässwörd");
  auto c = GetParam().encrypt(data, "passwörd");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_EQ(GetParam().decrypt(*a, "pässwörd").value_or(Data()), data);
}

TEST_P(PasswordCipher, WrongPasswordOrDamagedInputGivesNothing) {
  Data data = DataFromString("The quick brown fox jumps over the lazy dog");
  auto ciphertext = GetParam().encrypt(data, "right");
  ASSERT_TRUE(ciphertext);
  EXPECT_FALSE(GetParam().decrypt(*ciphertext, "wrong"));
  Data truncated(ciphertext->begin(), ciphertext->end() - 1);
  EXPECT_FALSE(GetParam().decrypt(truncated, "right"));
  EXPECT_FALSE(GetParam().decrypt(Data(), "right"));
}

TEST_P(PasswordCipher, OurOutputDecryptsWithTheCommandLineTool) {
  test::TempDir dir;
  const std::string password = "correct horse";
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 1024u * 1024u}) {
    Data data = PseudoRandomData(length, static_cast<unsigned>(length) + 7);
    auto ciphertext = GetParam().encrypt(data, password);
    ASSERT_TRUE(ciphertext);
    test::WriteFile(dir / "enc", *ciphertext);
    ASSERT_EQ(test::RunShell(OpenSSL("-d", password, dir / "enc", dir / "dec")), 0) << length;
    EXPECT_EQ(test::ReadFile(dir / "dec"), data) << length;
  }
}

TEST_P(PasswordCipher, CommandLineOutputDecryptsWithOurs) {
  test::TempDir dir;
  const std::string password = "Tr0ub4dor&3";
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 1024u * 1024u}) {
    Data data = PseudoRandomData(length, static_cast<unsigned>(length) + 11);
    test::WriteFile(dir / "plain", data);
    ASSERT_EQ(test::RunShell(OpenSSL("-e", password, dir / "plain", dir / "enc")), 0) << length;
    Data ciphertext = test::ReadFile(dir / "enc");
    EXPECT_EQ(GetParam().encrypt(data, password).value_or(Data()), ciphertext) << length;
    auto decrypted = GetParam().decrypt(ciphertext, password);
    ASSERT_TRUE(decrypted) << length;
    EXPECT_EQ(*decrypted, data) << length;
  }
}

TEST_P(PasswordCipher, ThreadsEncryptingAtOnceAgreeWithOneThread) {
  Data data = PseudoRandomData(64 * 1024);
  auto expected = GetParam().encrypt(data, "shared");
  ASSERT_TRUE(expected);
  std::vector<std::thread> threads;
  std::vector<int> matches(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        auto ciphertext = GetParam().encrypt(data, "shared");
        auto plaintext = ciphertext ? GetParam().decrypt(*ciphertext, "shared") : std::nullopt;
        if (ciphertext == expected && plaintext == data) ++matches[t];
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(matches, std::vector<int>(4, 20));
}

TEST(PasswordCipherDeathTest, BlowfishGivesNothingWhenTheLegacyProviderIsMissing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing loaded yet
  EXPECT_EXIT(
      {
        setenv("OPENSSL_MODULES", "/nonexistent-quorvel-modules", 1);
        Data data = DataFromString("payload");
        bool blowfishRefused = !encryptBlowfishWithPassword(data, "pw") && !decryptBlowfishWithPassword(data, "pw");
        auto aes = encryptAES256WithPassword(data, "pw");
        bool aesWorks = aes && decryptAES256WithPassword(*aes, "pw") == data;
        std::exit(blowfishRefused && aesWorks ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Ciphers, PasswordCipher, ::testing::ValuesIn(kCiphers),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- length-prefixed block

// Reads a length-prefixed block with Python's struct and zlib modules.
std::string InflateWithPython(const test::TempDir& dir, const Data& block) {
  test::WriteFile(dir / "block", block);
  std::string output;
  test::RunShell(test::Python() +
                     " -c 'import sys,struct,zlib; b=open(sys.argv[1],\"rb\").read(); "
                     "n=struct.unpack(\">I\",b[:4])[0]; d=zlib.decompress(b[4:]); "
                     "print(n, len(d), __import__(\"hashlib\").md5(d).hexdigest())' '" +
                     dir / "block" + "'",
                 &output);
  return output;
}

TEST(CompressedBlock, EmptyInputIsFourZeroBytesAndAZlibStream) {
  test::TempDir dir;
  auto block = compressGZip(Data());
  ASSERT_TRUE(block);
  ASSERT_GT(block->size(), 4u);
  EXPECT_EQ(Data(block->begin(), block->begin() + 4), (Data{0, 0, 0, 0}));
  EXPECT_EQ((*block)[4], 0x78);  // zlib header, deflate with a 32 KiB window
  EXPECT_EQ(((*block)[4] << 8 | (*block)[5]) % 31, 0);
  EXPECT_EQ(InflateWithPython(dir, *block), "0 0 d41d8cd98f00b204e9800998ecf8427e\n");
  EXPECT_EQ(decompressGZip(*block).value_or(Data{1}), Data());
}

TEST(CompressedBlock, PrefixIsTheBigEndianLengthAndTheStreamIsStandardZlib) {
  test::TempDir dir;
  Data data = PseudoRandomData(70000);
  data.insert(data.end(), 200000, 'a');
  auto block = compressGZip(data);
  ASSERT_TRUE(block);
  EXPECT_EQ(Data(block->begin(), block->begin() + 4), (Data{0x00, 0x04, 0x1E, 0xB0}));  // 270000
  EXPECT_LT(block->size(), data.size());
  EXPECT_EQ(InflateWithPython(dir, *block), "270000 270000 " + Hex(md5Digest(data)) + "\n");
  EXPECT_EQ(decompressGZip(*block).value_or(Data()), data);
}

TEST(CompressedBlock, DecompressionRefusesShortInputAndOversizedPrefix) {
  EXPECT_FALSE(decompressGZip(Data()));
  EXPECT_FALSE(decompressGZip(Data{0, 0, 0}));
  auto block = compressGZip(DataFromString("hello"));
  ASSERT_TRUE(block);
  Data oversized = *block;
  oversized[0] = 0x40;
  oversized[1] = oversized[2] = oversized[3] = 0;
  EXPECT_FALSE(decompressGZip(oversized));
}

TEST(CompressedBlock, DecompressionRefusesAStreamLongerThanItsPrefix) {
  auto block = compressGZip(DataFromString("hello world"));
  ASSERT_TRUE(block);
  (*block)[3] = 10;  // one byte short
  EXPECT_FALSE(decompressGZip(*block));
  (*block)[3] = 0;  // nothing at all declared
  EXPECT_FALSE(decompressGZip(*block));
}

TEST(CompressedBlock, ShortStreamKeepsTheDeclaredLengthAndDamageFails) {
  auto block = compressGZip(DataFromString("hello"));
  ASSERT_TRUE(block);
  Data longer = *block;
  longer[3] = 8;  // declares three bytes more than the stream holds
  EXPECT_EQ(decompressGZip(longer).value_or(Data()), (Data{'h', 'e', 'l', 'l', 'o', 0, 0, 0}));
  Data truncated(block->begin(), block->end() - 2);
  EXPECT_FALSE(decompressGZip(truncated));
  Data damaged = *block;
  damaged.back() ^= 0xFF;  // Adler-32 no longer matches
  EXPECT_FALSE(decompressGZip(damaged));
}

// ---------------------------------------------------------------- gzip files

TEST(GZipFile, WrittenFilesAreReadByGzip) {
  test::TempDir dir;
  for (std::size_t length : {0u, 1u, 131072u, 500000u}) {
    Data data = PseudoRandomData(length, static_cast<unsigned>(length));
    ASSERT_TRUE(writeToGZipFile(data, dir / "out.gz")) << length;
    ASSERT_EQ(test::RunShell("gzip -t '" + dir / "out.gz" + "'"), 0) << length;
    ASSERT_EQ(test::RunShell("gzip -dc '" + dir / "out.gz" + "' > '" + dir / "out" + "'"), 0);
    EXPECT_EQ(test::ReadFile(dir / "out"), data) << length;
  }
}

TEST(GZipFile, FilesFromGzipAreReadCompletelyAroundTheReadSize) {
  test::TempDir dir;
  for (std::size_t length : {0u, 1u, 131071u, 131072u, 131073u, 262144u, 400000u}) {
    Data data = PseudoRandomData(length, static_cast<unsigned>(length) + 3);
    test::WriteFile(dir / "in", data);
    ASSERT_EQ(test::RunShell("gzip -c '" + dir / "in" + "' > '" + dir / "in.gz" + "'"), 0);
    auto read = initWithGZipFile(dir / "in.gz");
    ASSERT_TRUE(read) << length;
    EXPECT_EQ(read->size(), length);
    EXPECT_EQ(*read, data) << length;
  }
}

TEST(GZipFile, MissingOrDamagedFilesGiveNothing) {
  test::TempDir dir;
  EXPECT_FALSE(initWithGZipFile(dir / "missing.gz"));
  Data data = PseudoRandomData(50000);
  ASSERT_TRUE(writeToGZipFile(data, dir / "a.gz"));
  Data file = test::ReadFile(dir / "a.gz");
  Data truncated(file.begin(), file.begin() + static_cast<long>(file.size() / 2));
  test::WriteFile(dir / "truncated.gz", truncated);
  EXPECT_FALSE(initWithGZipFile(dir / "truncated.gz"));
  file[file.size() - 6] ^= 0x55;  // CRC-32 in the trailer
  test::WriteFile(dir / "crc.gz", file);
  EXPECT_FALSE(initWithGZipFile(dir / "crc.gz"));
}

TEST(GZipFile, InflatingBeyondTheCeilingGivesNothing) {
  test::TempDir dir;
  struct Case {
    std::size_t length;
    std::size_t ceiling;
    bool read;
  };
  const std::vector<Case> cases = {
      {0, 0, true},
      {1, 0, false},
      {131072, 131072, true},
      {131073, 131072, false},
      {400000, 400000, true},
      {400001, 400000, false},
      // Zeros: 8 MiB from a file of a few kilobytes.
      {8u << 20, 1u << 20, false},
      {8u << 20, 8u << 20, true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(writeToGZipFile(Data(c.length, 0), dir / "zeros.gz"));
    auto read = initWithGZipFile(dir / "zeros.gz", c.ceiling);
    EXPECT_EQ(read.has_value(), c.read) << c.length << " bytes, ceiling " << c.ceiling;
    if (read) EXPECT_EQ(read->size(), c.length);
  }
  EXPECT_LT(test::ReadFile(dir / "zeros.gz").size(), 64u << 10);
}

TEST(GZipFile, WritingIntoAMissingFolderFailsAndLeavesNothing) {
  test::TempDir dir;
  EXPECT_FALSE(writeToGZipFile(DataFromString("x"), dir / "no/such/folder/x.gz"));
}

}  // namespace
}  // namespace quorvel
