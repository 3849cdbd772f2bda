// The archive file: header fields, chunking, modification time, refusal of bad arguments, and
// the messages that name the chunk, its offset and the field that did not match.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "lib/synlz/SynLZ.h"
#include "lib/synlz/SynLZFile.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

class SynLZFileTest : public TTestFolder {
 protected:
  SynLZFileTest() : TTestFolder("synlz-file") {}
};

uint32_t Le32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
         uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
}
void PutLe32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (8 * i));
}

std::string Entries(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += "20261209 10300000 info  [TDovraVoucherAPI.Redeem] Response : {\"Ref\":\"" +
         std::to_string(rng()) + "\"}\r\n";
  }
  s.resize(n);
  return s;
}

TEST_F(SynLZFileTest, SmallFileIsOneChunkWithItsHeader) {
  Write(Path("a.log"), "abcd");
  ASSERT_TRUE(SynLZCompressFile(Path("a.log"), Path("a.synlz")));
  const std::string f = Read(Path("a.synlz"));
  // Header (magic, sizes, hashes) then the block 04 00 | 00 00 00 00 | "abcd".
  const std::string block(
      "\x04\x00\x00\x00\x00\x00"
      "abcd",
      10);
  ASSERT_EQ(f.size(), 20u + block.size());
  EXPECT_EQ(f.substr(0, 4), std::string("\x51\x10\xA5\xAB", 4));
  EXPECT_EQ(Le32(f, 4), 10u);
  EXPECT_EQ(Le32(f, 8), SynLZ::Hash32(block.data(), block.size()));
  EXPECT_EQ(Le32(f, 12), 4u);
  EXPECT_EQ(Le32(f, 16), 0xA0A16261u);
  EXPECT_EQ(f.substr(20), block);
}

TEST_F(SynLZFileTest, SmallChunkSizeMakesSeveralChunksThatReadBack) {
  const std::string text = Entries(3500, 1);
  Write(Path("b.log"), text);
  ASSERT_TRUE(SynLZCompressFile(Path("b.log"), Path("b.synlz"), kSynLZMagic, 1000));
  const std::string f = Read(Path("b.synlz"));
  std::vector<uint32_t> sizes;
  size_t at = 0;
  while (at < f.size()) {
    ASSERT_LE(at + 20, f.size());
    EXPECT_EQ(Le32(f, at), kSynLZMagic);
    sizes.push_back(Le32(f, at + 12));
    at += 20 + Le32(f, at + 4);
  }
  EXPECT_EQ(at, f.size());
  EXPECT_EQ(sizes, (std::vector<uint32_t>{1000, 1000, 1000, 500}));

  std::string back, error;
  ASSERT_TRUE(SynLZDecompressToString(f, back, error)) << error;
  EXPECT_EQ(back, text);
  ASSERT_TRUE(SynLZDecompressFile(Path("b.synlz"), Path("b.out"), error)) << error;
  EXPECT_EQ(Read(Path("b.out")), text);
  EXPECT_TRUE(SynLZVerifyFile(Path("b.synlz"), error)) << error;
  EXPECT_EQ(SynLZCompressToString(text, kSynLZMagic, 1000), f);
}

TEST_F(SynLZFileTest, ChunkBoundariesAtExactMultiples) {
  for (size_t n : {999, 1000, 1001, 2000}) {
    const std::string text = Entries(n, unsigned(n));
    const std::string packed = SynLZCompressToString(text, kSynLZMagic, 1000);
    std::string back, error;
    ASSERT_TRUE(SynLZDecompressToString(packed, back, error)) << n << ": " << error;
    EXPECT_EQ(back, text);
  }
}

TEST_F(SynLZFileTest, EmptySourceGivesAnEmptyArchive) {
  Write(Path("e.log"), "");
  ASSERT_TRUE(SynLZCompressFile(Path("e.log"), Path("e.synlz")));
  EXPECT_EQ(fs::file_size(Path("e.synlz")), 0u);
  std::string error;
  ASSERT_TRUE(SynLZDecompressFile(Path("e.synlz"), Path("e.out"), error)) << error;
  EXPECT_EQ(Read(Path("e.out")), "");
}

TEST_F(SynLZFileTest, ArchiveTakesTheSourceModificationTime) {
  Write(Path("m.log"), Entries(5000, 2));
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 40);
  fs::last_write_time(Path("m.log"), old);
  ASSERT_TRUE(SynLZCompressFile(Path("m.log"), Path("m.synlz")));
  EXPECT_EQ(fs::last_write_time(Path("m.synlz")), fs::last_write_time(Path("m.log")));
}

TEST_F(SynLZFileTest, MissingSourceFailsAndLeavesTheTargetAlone) {
  Write(Path("keep.synlz"), "previous archive");
  std::string error;
  EXPECT_FALSE(SynLZCompressFile(Path("none.log"), Path("keep.synlz")));
  EXPECT_FALSE(SynLZCompressFile(Path("none.log"), Path("keep.synlz"), error));
  EXPECT_NE(error.find("none.log"), std::string::npos) << error;
  EXPECT_EQ(Read(Path("keep.synlz")), "previous archive");
  EXPECT_FALSE(SynLZCompressFile(Path("none.log"), Path("new.synlz")));
  EXPECT_FALSE(fs::exists(Path("new.synlz")));
}

TEST_F(SynLZFileTest, ExistingTargetIsReplacedAndNoTemporaryFileRemains) {
  Write(Path("r.log"), "fresh text");
  Write(Path("r.synlz"), std::string(5000, 'x'));
  ASSERT_TRUE(SynLZCompressFile(Path("r.log"), Path("r.synlz")));
  std::string back, error;
  ASSERT_TRUE(SynLZDecompressToString(Read(Path("r.synlz")), back, error)) << error;
  EXPECT_EQ(back, "fresh text");
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2u);
}

TEST_F(SynLZFileTest, RefusesToOverwriteItsOwnSource) {
  Write(Path("same.log"), "entries that must survive");
  std::string error;
  EXPECT_FALSE(SynLZCompressFile(Path("same.log"), Path("same.log"), error));
  EXPECT_NE(error.find("same file"), std::string::npos) << error;
  EXPECT_EQ(Read(Path("same.log")), "entries that must survive");
  EXPECT_FALSE(SynLZCompressFile(Path("same.log"), Path("same.log"), error, kSynLZMagic, 0));
}

TEST_F(SynLZFileTest, OutputsAreNoWiderThanTheSourceAndALinkIsNoSource) {
  const mode_t umask = ::umask(0);
  auto mode = [](const std::string& path) { return fs::status(path).permissions(); };
  using fs::perms;
  const struct {
    perms source, output;
  } cases[] = {
      {perms(0644), perms(0640)},
      {perms(0666), perms(0640)},
      {perms(0600), perms(0600)},
      {perms(0400), perms(0400)},
  };
  for (const auto& c : cases) {
    Write(Path("m.log"), "entries");
    fs::permissions(Path("m.log"), c.source);
    std::string error;
    ASSERT_TRUE(SynLZCompressFile(Path("m.log"), Path("m.synlz"), error)) << error;
    EXPECT_EQ(mode(Path("m.synlz")), c.output) << int(c.source);
    ASSERT_TRUE(SynLZDecompressFile(Path("m.synlz"), Path("m.out"), error)) << error;
    EXPECT_EQ(mode(Path("m.out")), c.output) << int(c.source);
    for (const char* f : {"m.log", "m.synlz", "m.out"}) fs::remove(Path(f));
  }
  ::umask(umask);

  Write(Path("private"), "someone's file");
  fs::create_symlink(Path("private"), Path("link.log"));
  std::string error;
  EXPECT_FALSE(SynLZCompressFile(Path("link.log"), Path("link.synlz"), error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(Path("link.synlz")));
}

TEST_F(SynLZFileTest, UnwritableTargetFails) {
  Write(Path("u.log"), "x");
  std::string error;
  EXPECT_FALSE(SynLZCompressFile(Path("u.log"), Path("no/such/dir/u.synlz"), error));
  EXPECT_NE(error.find("no/such/dir"), std::string::npos) << error;
  EXPECT_FALSE(SynLZCompressFile(Path("u.log"), dir_.string()));  // a folder is no target
  EXPECT_TRUE(fs::is_directory(dir_));
}

// A chunk over 4 MiB is streamed rather than held: it reads back the same, in pieces, and each
// kind of damage gives the message a small chunk gives.
TEST_F(SynLZFileTest, ALargeChunkIsCheckedAsFullyAsASmallOne) {
  const std::string text = Entries(1000, 5) + Entries(5 << 20, 6);
  const std::string good =
      SynLZCompressToString(text.substr(0, 1000)) + SynLZCompressToString(text.substr(1000));
  const size_t second = 20 + Le32(good, 4);
  const uint32_t packed = Le32(good, second + 4);
  Write(Path("big.synlz"), good);
  std::string back, error;
  size_t largest = 0;
  ASSERT_TRUE(SynLZReadFile(
      Path("big.synlz"),
      [&](const uint8_t* data, size_t n, std::string&) {
        back.append(reinterpret_cast<const char*>(data), n);
        largest = std::max(largest, n);
        return true;
      },
      error))
      << error;
  EXPECT_TRUE(back == text);
  EXPECT_LE(largest, size_t(1) << 20);

  std::string flipped = good;
  flipped[second + 20 + packed / 2] ^= 0x04;
  std::string plainHash = good;
  PutLe32(plainHash, second + 16, Le32(good, second + 16) ^ 1);
  std::string prefix = good;
  PutLe32(prefix, second + 12, uint32_t(text.size() - 1000 - 1));
  // The block cut by its last byte, with sizes and compressed hash made to agree.
  std::string block = good.substr(second + 20, packed - 1);
  std::string cut = good.substr(0, second + 20) + block;
  PutLe32(cut, second + 4, packed - 1);
  PutLe32(cut, second + 8, SynLZ::Hash32(block.data(), block.size()));
  const struct {
    const char* what;
    std::string bytes;
    std::string message;
  } cases[] = {
      {"data byte flipped", flipped, "compressed hash"},
      {"uncompressed hash", plainHash, "uncompressed hash"},
      {"prefix", prefix,
       "block length prefix " + std::to_string(text.size() - 1000) +
           " does not match header uncompressed size " + std::to_string(text.size() - 1001)},
      {"block cut", cut, "compressed data corrupt at block byte"},
  };
  for (const auto& c : cases) {
    Write(Path("bad.synlz"), c.bytes);
    std::string e;
    EXPECT_FALSE(SynLZVerifyFile(Path("bad.synlz"), e)) << c.what;
    EXPECT_NE(e.find("chunk 2 at offset " + std::to_string(second) + ": "), std::string::npos)
        << c.what << ": " << e;
    EXPECT_NE(e.find(c.message), std::string::npos) << c.what << ": " << e;
    std::string out, memError;
    EXPECT_FALSE(SynLZDecompressToString(c.bytes, out, memError)) << c.what;
    EXPECT_NE(e.find(memError), std::string::npos) << c.what << ": " << memError;
  }
}

// Damage to a three-chunk archive and the message each kind produces.
class SynLZCorruptTest : public SynLZFileTest {
 protected:
  void SetUp() override {
    SynLZFileTest::SetUp();
    text_ = Entries(3000, 4);
    good_ = SynLZCompressToString(text_, kSynLZMagic, 1000);
    second_ = 20 + Le32(good_, 4);  // offset of chunk 2
  }
  std::string Fails(const std::string& bytes) {
    Write(Path("bad.synlz"), bytes);
    std::string error;
    EXPECT_FALSE(SynLZVerifyFile(Path("bad.synlz"), error));
    std::string out, memError;
    EXPECT_FALSE(SynLZDecompressToString(bytes, out, memError));
    EXPECT_NE(error.find(memError), std::string::npos) << error << " / " << memError;
    EXPECT_NE(error.find("bad.synlz"), std::string::npos) << error;
    return error;
  }
  std::string text_, good_;
  size_t second_ = 0;
};

TEST_F(SynLZCorruptTest, FlippedDataByteIsACompressedHashMismatchInItsChunk) {
  std::string bad = good_;
  bad[second_ + 30] ^= 0x04;
  const std::string e = Fails(bad);
  EXPECT_NE(e.find("chunk 2 at offset " + std::to_string(second_)), std::string::npos) << e;
  EXPECT_NE(e.find("compressed hash"), std::string::npos) << e;
}

TEST_F(SynLZCorruptTest, DataThatDecodesWronglyIsAnUncompressedHashMismatch) {
  std::string bad = good_;
  PutLe32(bad, 16, Le32(bad, 16) ^ 1);  // chunk 1's uncompressed hash
  const std::string e = Fails(bad);
  EXPECT_NE(e.find("chunk 1 at offset 0"), std::string::npos) << e;
  EXPECT_NE(e.find("uncompressed hash"), std::string::npos) << e;
}

TEST_F(SynLZCorruptTest, BrokenBlockWithAMatchingHashIsReportedAsCorruptData) {
  // A literal run cut short: remove the last byte of chunk 1's block and fix up its header so
  // that sizes and compressed hash agree, leaving only the block itself wrong.
  const uint32_t size1 = Le32(good_, 4);
  std::string block = good_.substr(20, size1 - 1);
  std::string bad = good_.substr(0, 20) + block + good_.substr(20 + size1);
  PutLe32(bad, 4, size1 - 1);
  PutLe32(bad, 8, SynLZ::Hash32(block.data(), block.size()));
  const std::string e = Fails(bad);
  EXPECT_NE(e.find("chunk 1 at offset 0: compressed data corrupt at block byte"), std::string::npos)
      << e;
}

TEST_F(SynLZCorruptTest, HeaderProblemsAreNamed) {
  std::string badMagic = good_;
  PutLe32(badMagic, second_, 0x12345678);
  EXPECT_NE(Fails(badMagic).find("magic 0x12345678 does not match 0xABA51051"), std::string::npos);

  const std::string cut = good_.substr(0, good_.size() - 3);
  EXPECT_NE(Fails(cut).find("runs past the end"), std::string::npos);

  EXPECT_NE(Fails(good_ + "trail").find("header cut off (5 of 20 bytes)"), std::string::npos);

  std::string huge = good_;
  PutLe32(huge, 12, 0x7FFFFFFF);
  EXPECT_NE(Fails(huge).find("exceeds the 134217728-byte chunk limit"), std::string::npos);

  std::string impossible = good_;
  PutLe32(impossible, 4, 0xFFFFFF00);
  EXPECT_NE(Fails(impossible).find("is impossible for 1000 uncompressed bytes"), std::string::npos);

  std::string prefix = good_;
  PutLe32(prefix, 12, 999);
  EXPECT_NE(Fails(prefix).find("length prefix 1000 does not match header uncompressed size 999"),
            std::string::npos);
}

TEST_F(SynLZCorruptTest, FailedDecompressionLeavesNoOutput) {
  std::string bad = good_;
  bad[good_.size() - 1] ^= 0x40;
  Write(Path("bad.synlz"), bad);
  std::string error;
  EXPECT_FALSE(SynLZDecompressFile(Path("bad.synlz"), Path("out.log"), error));
  EXPECT_NE(error.find("chunk 3"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(Path("out.log")));
}

TEST_F(SynLZCorruptTest, OtherMagicIsAcceptedOnlyWhenAskedFor) {
  const std::string other = SynLZCompressToString(text_, 0x11223344u, 1000);
  std::string out, error;
  EXPECT_FALSE(SynLZDecompressToString(other, out, error));
  ASSERT_TRUE(SynLZDecompressToString(other, out, error, 0x11223344u)) << error;
  EXPECT_EQ(out, text_);
}

}  // namespace
