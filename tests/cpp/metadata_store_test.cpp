// The 4 GiB boundary tests make sparse files past 2 GiB: 64-bit offsets here too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "metadata_store.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

static_assert(sizeof(off_t) == 8, "the boundary tests need 64-bit file offsets");

namespace tovik {
namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// A fresh directory under /tmp, removed with everything in it at the end of a test.
class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tovik_metadata_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/metadata.bin";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string file_contents() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  uint64_t file_size() const { return std::filesystem::file_size(path_); }
  void make_sparse_file(uint64_t size) const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
  }

  std::string dir_;
  std::string path_;
};

TEST_F(MetadataStoreTest, AppendsConcatenateAndRecordPositions) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "0123456789").ok());
  ASSERT_TRUE(store.append_metadata(1, "abcdefg").ok());
  EXPECT_EQ(file_contents(), "0123456789abcdefg");
  EXPECT_EQ(store.record(0)->offset, 0u);
  EXPECT_EQ(store.record(0)->length, 10u);
  EXPECT_EQ(store.record(1)->offset, 10u);
  EXPECT_EQ(store.record(1)->length, 7u);
  EXPECT_EQ(store.read_metadata(0), "0123456789");
  EXPECT_EQ(store.read_metadata(1), "abcdefg");
}

TEST_F(MetadataStoreTest, TextsReadBackAsWrittenOrWithInvalidUtf8Replaced) {
  const std::pair<std::string, std::string> texts[] = {
      {"", ""},
      {"{\"name\": \"h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9D\x84\x9E\"}",
       "{\"name\": \"h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9D\x84\x9E\"}"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"a\xFF"
       "b",
       "a" + FFFD + "b"},
  };
  MetadataStore store(path_);
  uint32_t id = 3;
  uint64_t written = 0;
  for (const auto& [text, read_back] : texts) {
    ASSERT_TRUE(store.append_metadata(id, text).ok());
    written += text.size();
    EXPECT_EQ(store.record(id)->length, text.size());
    EXPECT_EQ(store.read_metadata(id), read_back);
    id += 2;
  }
  // Slots between recorded ids are empty.
  for (uint32_t missing : {0u, 1u, 2u, 4u, 6u, 11u, 1000u}) {
    EXPECT_FALSE(store.read_metadata(missing).has_value()) << missing;
  }
  // Re-adding an id appends again and reads the newest text.
  ASSERT_TRUE(store.append_metadata(3, "newer").ok());
  EXPECT_EQ(store.read_metadata(3), "newer");
  EXPECT_EQ(file_size(), written + 5);
}

TEST_F(MetadataStoreTest, DeletedFileReadsNothingAndNextAppendStartsAtZero) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "0123456789").ok());
  ASSERT_TRUE(store.append_metadata(1, "").ok());
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_FALSE(store.read_metadata(0).has_value());
  EXPECT_FALSE(store.read_metadata(1).has_value());  // even an empty text needs the file

  ASSERT_TRUE(store.append_metadata(2, "xyz").ok());
  EXPECT_EQ(store.record(2)->offset, 0u);
  EXPECT_EQ(store.read_metadata(2), "xyz");
  // Id 0's record now reaches past the end of the shorter file.
  EXPECT_FALSE(store.read_metadata(0).has_value());
}

// A reader gives, id by id, what a fresh open per id gives: missing records, records cut
// off by a truncated file, empty and invalid UTF-8 texts, in any order and repeated.
TEST_F(MetadataStoreTest, ReaderMatchesOneOpenPerRecord) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "alpha").ok());
  ASSERT_TRUE(store.append_metadata(1, "").ok());
  ASSERT_TRUE(store
                  .append_metadata(3,
                                   "a\xFF"
                                   "b")
                  .ok());
  ASSERT_TRUE(store.append_metadata(4, "cut-off-record").ok());
  ASSERT_TRUE(store.append_metadata(5, "beyond").ok());
  ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(file_size() - 6 - 4)), 0);

  const std::pair<uint32_t, std::optional<std::string>> expected[] = {
      {4, std::nullopt}, {0, "alpha"},      {2, std::nullopt},
      {1, ""},           {5, std::nullopt}, {3, "a" + FFFD + "b"},
      {0, "alpha"},      {9, std::nullopt}, {3, "a" + FFFD + "b"},
  };
  MetadataReader reader(store);
  for (const auto& [id, text] : expected) {
    EXPECT_EQ(reader.read(id), text) << "reader, id " << id;
    EXPECT_EQ(store.read_metadata(id), text) << "fresh open, id " << id;
  }
}

// The handle is opened once: removing the file after the first read does not affect the
// reader, while a fresh open no longer finds it.
TEST_F(MetadataStoreTest, ReaderKeepsOneHandleForItsLifetime) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "first").ok());
  ASSERT_TRUE(store.append_metadata(1, "second").ok());
  MetadataReader reader(store);
  ASSERT_EQ(reader.read(0), "first");
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_EQ(reader.read(1), "second");
  EXPECT_FALSE(store.read_metadata(1).has_value());
}

// Without a file every record reads as nothing, empty texts included; the reader opens
// lazily, so a file that appears before its first read with a record is used.
TEST_F(MetadataStoreTest, ReaderWithoutAFileReadsNothing) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "").ok());
  ASSERT_TRUE(store.append_metadata(1, "text").ok());
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  {
    MetadataReader reader(store);
    EXPECT_FALSE(reader.read(0).has_value());
    EXPECT_FALSE(reader.read(1).has_value());
    EXPECT_FALSE(std::filesystem::exists(path_));  // reading never creates the file
  }
  MetadataReader reader(store);
  EXPECT_FALSE(reader.read(7).has_value());  // no record: the file is not needed yet
  { std::ofstream(path_, std::ios::binary) << "zzzztext"; }
  EXPECT_EQ(reader.read(0), "");
  EXPECT_EQ(reader.read(1), "zzzz");
}

TEST_F(MetadataStoreTest, AppendsAfterExistingBytes) {
  std::ofstream(path_, std::ios::binary) << std::string(100, 'x');
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(0, "{}").ok());
  EXPECT_EQ(store.record(0)->offset, 100u);
  EXPECT_EQ(store.read_metadata(0), "{}");
}

TEST_F(MetadataStoreTest, RefusesAppendsOnceTheFileHolds4GiB) {
  make_sparse_file(METADATA_FILE_LIMIT);
  MetadataStore store(path_);
  const auto full = store.append_metadata(0, "{}");
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().kind, ErrorKind::Message);
  EXPECT_EQ(full.error().message, "File too large (max 4GB)");
  EXPECT_FALSE(store.record(0).has_value());
  EXPECT_EQ(file_size(), METADATA_FILE_LIMIT);
}

TEST_F(MetadataStoreTest, LastByteBelow4GiBIsAValidOffset) {
  make_sparse_file(METADATA_FILE_LIMIT - 1);
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(7, "{\"k\": 1}").ok());
  EXPECT_EQ(store.record(7)->offset, 4294967295u);
  EXPECT_EQ(store.read_metadata(7), "{\"k\": 1}");
  // The accepted text ends past 4 GiB; the next append is refused.
  EXPECT_EQ(store.append_metadata(8, "x").error().message, "File too large (max 4GB)");
}

TEST_F(MetadataStoreTest, SystemErrorsCarryDescriptionAndNumber) {
  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {dir_ + "/missing/metadata.bin", "No such file or directory (os error 2)"},
      {dir_, "Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    MetadataStore store(c.path);
    const auto result = store.append_metadata(0, "{}");
    ASSERT_FALSE(result.ok()) << c.path;
    EXPECT_EQ(result.error().kind, ErrorKind::Message);
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_FALSE(store.record(0).has_value()) << c.path;
  }
}

TEST_F(MetadataStoreTest, CreatesTheFileWithMode0666BeforeUmask) {
  const mode_t old_mask = ::umask(022);
  MetadataStore store(path_);
  const auto appended = store.append_metadata(0, "{}");
  ::umask(old_mask);
  ASSERT_TRUE(appended.ok());
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(MetadataStoreTest, ReserveBeyondThePlatformIsOutOfMemoryAndChangesNothing) {
  MetadataStore store(path_);
  ASSERT_TRUE(store.append_metadata(2, "ab").ok());
  EXPECT_TRUE(store.reserve(100).ok());
  const auto huge = store.reserve(UINT64_MAX);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().kind, ErrorKind::OutOfMemory);
  EXPECT_EQ(store.read_metadata(2), "ab");
  EXPECT_FALSE(store.record(99).has_value());
}

TEST_F(MetadataStoreTest, IdBeyondAddressableSlotsFailsBeforeWriting) {
  if constexpr (SIZE_MAX > UINT32_MAX) {
    GTEST_SKIP() << "2^32 record slots are addressable on a 64-bit target";
  } else {
    MetadataStore store(path_);
    const auto result = store.append_metadata(UINT32_MAX, "{}");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::OutOfMemory);
    EXPECT_FALSE(std::filesystem::exists(path_));
  }
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string text;
};

TEST(DecodeUtf8Test, ReplacesEachMaximalInvalidSubpartOnce) {
  const std::string F = FFFD;
  const DecodeCase cases[] = {
      {"ascii", "plain {}", "plain {}"},
      {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {"range edges", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},
      {"lone continuation", "\x80", F},
      {"byte FF",
       "a\xFF"
       "b",
       "a" + F + "b"},
      {"two continuations", "\x80\xBF", F + F},
      {"overlong two-byte", "\xC0\x80\xC1\xBF", F + F + F + F},
      {"overlong three-byte", "\xE0\x80\x80", F + F + F},
      {"overlong three-byte edge", "\xE0\x9F\x80", F + F + F},
      {"overlong four-byte", "\xF0\x80\x80\x80", F + F + F + F},
      {"surrogate", "\xED\xA0\x80", F + F + F},
      {"above U+10FFFF", "\xF4\x90\x80\x80", F + F + F + F},
      {"lead F5", "\xF5\x80", F + F},
      {"truncated at end", "x\xC3", "x" + F},
      {"truncated three-byte",
       "\xE2\x82"
       "A",
       F + "A"},
      {"truncated four-byte",
       "\xF0\x9D\x84"
       "x",
       F + "x"},
      {"mixed",
       "a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + F + F + F + "b" + F + "c" + F + F + "d"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text) << c.name;
}

}  // namespace
}  // namespace tovik
