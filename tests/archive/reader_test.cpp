// The container reader on archives written by the test builder: finding the
// archive, the main header, and the walk over the blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tests/support/archive_builder.h"

using arctest::ArchiveBuilder;
using arctest::BlockSpec;
using arctest::FileSpec;
using arctest::MainHeaderSpec;
using arctest::stored_file;

namespace {

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_crc_table();
    extract_result = 0;
    next_block = 0;
    OnErrorMessage.code = [](void* object, const std::string& text) {
      static_cast<std::vector<std::string>*>(object)->push_back(text);
    };
    OnErrorMessage.object = &errors;
  }
  void TearDown() override {
    OnErrorMessage = TMessageHook();
    archive_stream = nullptr;
    TMyMemoryStream::unregister_block("#101");
  }
  // Puts the archive into a fresh stream, opened at offset 0.
  void load(const std::vector<uint8_t>& bytes) {
    stream.close();  // reopening the same name would only rewind
    data = bytes;
    TMyMemoryStream::register_block("#101", data.data(), int32_t(data.size()));
    archive_stream = &stream;
    ASSERT_TRUE(stream.open("#101"));
  }
  // Opens the archive and walks it as the driver does; returns the names of
  // the entries found, with "<sub>" for each sub-block handed back.
  std::vector<std::string> walk(uint16_t request = 0x8074) {
    std::vector<std::string> names;
    if (!open_archive()) return {"<not an archive>"};
    stream.seek(main_header.head_size - main_header_size, 1);
    while (read_block(request) > 0) {
      names.push_back(block_header.head_type == SUB_HEAD ? "<sub>" : file_name);
      stream.seek(next_block, 0);
    }
    return names;
  }
  static std::vector<std::string> names(std::initializer_list<const char*> list) {
    return std::vector<std::string>(list.begin(), list.end());
  }

  std::vector<uint8_t> data;
  TMyMemoryStream stream;
  std::vector<std::string> errors;
};

TEST_F(ReaderTest, MarkerAtStartWithEitherFirstByte) {
  for (uint8_t first : {uint8_t(0x72), uint8_t(0x52)}) {
    ArchiveBuilder b;
    b.marker(first).main_header().file(stored_file("docs/readme.txt", "hello"));
    FileSpec second = stored_file("b.bin", "0123456789");
    second.unp_ver = 15;
    second.attr = 0x21;
    b.file(second);
    load(b.bytes());
    ASSERT_TRUE(open_archive());
    EXPECT_EQ(2, arc_format);
    EXPECT_EQ(13, main_header_size);
    EXPECT_EQ(first, marker[0]);
    EXPECT_EQ(20, stream.position());
    EXPECT_FALSE(solid);

    ASSERT_EQ(32 + 15, read_block(0x8074));
    EXPECT_EQ("docs/readme.txt", file_name);
    EXPECT_EQ(5u, file_header.pack_size);
    EXPECT_EQ(arctest::crc32(arctest::bytes_of("hello")), file_header.file_crc);
    EXPECT_EQ(20, block_start);
    EXPECT_EQ(20 + 47 + 5, next_block);
    EXPECT_EQ(20 + 47, stream.position());  // after the name, at the data

    stream.seek(next_block, 0);
    ASSERT_EQ(32 + 5, read_block(0x8074));
    EXPECT_EQ("b.bin", file_name);
    EXPECT_EQ(15, file_header.unp_ver);
    EXPECT_EQ(0x21u, file_header.attr);
    EXPECT_EQ(10u, block_header.data_size);
    stream.seek(next_block, 0);

    // The end of an archive without an end block: nothing more, quietly, and
    // the last entry's header is still there.
    EXPECT_EQ(0, read_block(0x8074));
    EXPECT_EQ("b.bin", file_name);
    EXPECT_EQ(10u, file_header.pack_size);
    EXPECT_EQ(int32_t(data.size()), stream.position());
    EXPECT_EQ(0, extract_result);
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(ReaderTest, MainHeaderFlagsAndExtraBytes) {
  MainHeaderSpec m;
  m.flags = 0x08 | 0x01;
  m.extra = {1, 2, 3, 4, 5};
  ArchiveBuilder b;
  b.marker().main_header(m).file(stored_file("a", "x")).end_block();
  load(b.bytes());
  EXPECT_EQ(names({"a"}), walk());
  EXPECT_TRUE(solid);
  EXPECT_EQ(18, main_header.head_size);
  EXPECT_TRUE(errors.empty());  // the extra bytes are not covered by the CRC
}

TEST_F(ReaderTest, SelfExtractorStubs) {
  struct Case {
    size_t stub;
    bool found;
  };
  // The scan starts at offset 7 and looks at 131,056 bytes; the marker and
  // the main header's type byte must lie inside what it read.
  for (Case c : {Case{5000, true}, Case{7, true}, Case{131053, true}, Case{131054, false},
                 Case{200000, false}, Case{1, false}, Case{3, false}, Case{6, false}}) {
    SCOPED_TRACE(c.stub);
    ArchiveBuilder b;
    b.prefix(c.stub, 0x52).marker().main_header().file(stored_file("in.txt", "abc"));
    load(b.bytes());
    ASSERT_EQ(c.found, open_archive());
    EXPECT_EQ(nullptr, search_buffer);
    if (!c.found) {
      EXPECT_EQ(0, arc_format);
      continue;
    }
    EXPECT_EQ(2, arc_format);
    EXPECT_EQ(0x72, marker[0]);
    EXPECT_EQ(int32_t(c.stub) + 20, stream.position());
    EXPECT_EQ(32 + 6, read_block(0x8074));
    EXPECT_EQ("in.txt", file_name);
  }
}

TEST_F(ReaderTest, ScanSkipsLookalikes) {
  ArchiveBuilder b;
  // "Rar!" marker bytes without a main header after them, then the archive.
  b.prefix(100).marker(0x52).raw({0, 0, 0x74}).prefix(50).marker().main_header();
  b.file(stored_file("real", "1"));
  load(b.bytes());
  EXPECT_EQ(names({"real"}), walk());
}

TEST_F(ReaderTest, NotAnArchive) {
  // Too short for a marker.
  load({0x72, 0x61, 0x72, 0x21});
  EXPECT_FALSE(open_archive());
  // A marker followed by only 10 bytes of main header.
  ArchiveBuilder b;
  b.marker().main_header();
  std::vector<uint8_t> shortened = b.bytes();
  shortened.resize(7 + 10);
  load(shortened);
  EXPECT_FALSE(open_archive());
  EXPECT_EQ(0, arc_format);
  // Nothing like an archive anywhere.
  load(std::vector<uint8_t>(4096, 0x72));
  EXPECT_FALSE(open_archive());
  // The same header cut short behind a stub.
  ArchiveBuilder c;
  c.prefix(64).marker().main_header();
  shortened = c.bytes();
  shortened.resize(64 + 7 + 12);
  load(shortened);
  EXPECT_FALSE(open_archive());
}

TEST_F(ReaderTest, OldFormatIsRecognisedButListsNothing) {
  ArchiveBuilder b;
  b.old_main_header(9, 0xC8).raw({0, 0}).raw(std::vector<uint8_t>(40, 0x74));
  load(b.bytes());
  ASSERT_TRUE(open_archive());
  EXPECT_EQ(1, arc_format);
  EXPECT_EQ(7, main_header_size);
  EXPECT_EQ(9, main_header.head_size);
  EXPECT_EQ(0x08, main_header.flags);
  EXPECT_TRUE(solid);
  EXPECT_EQ(7, stream.position());
  EXPECT_EQ(0, read_block(0x8074));

  // Behind a stub only with the stub's signature at offset 28.
  std::vector<uint8_t> stub(60, 0);
  stub[28] = 'R', stub[29] = 'S', stub[30] = 'F', stub[31] = 'X';
  ArchiveBuilder sfx;
  sfx.raw(stub).old_main_header();
  load(sfx.bytes());
  ASSERT_TRUE(open_archive());
  EXPECT_EQ(1, arc_format);
  EXPECT_EQ(60 + 7, stream.position());
  stub[28] = 0;
  ArchiveBuilder plain;
  plain.raw(stub).old_main_header();
  load(plain.bytes());
  EXPECT_FALSE(open_archive());

  // Only a capital R counts at the very start.
  ArchiveBuilder lower;
  lower.old_main_header();
  std::vector<uint8_t> bytes = lower.bytes();
  bytes[0] = 0x72;
  load(bytes);
  EXPECT_FALSE(open_archive());
}

TEST_F(ReaderTest, BrokenMainHeaderIsReportedAndRead) {
  MainHeaderSpec m;
  m.bad_crc = true;
  ArchiveBuilder b;
  b.marker().main_header(m).file(stored_file("a", "1")).file(stored_file("b", "2"));
  load(b.bytes());
  EXPECT_EQ(names({"a", "b"}), walk());
  EXPECT_EQ(names({"Broken header"}), errors);
}

TEST_F(ReaderTest, WrongFileHeaderCrcEndsTheWalk) {
  // Each damaged copy: a byte of the fixed part, a byte of the name, the
  // stored CRC itself. A byte of the extra header is not covered.
  struct Damage {
    size_t offset;  // within the second file header
    bool caught;
  };
  ArchiveBuilder clean;
  clean.marker().main_header().file(stored_file("first", "1"));
  const size_t second = clean.offset();
  FileSpec f = stored_file("second", "22");
  f.extra = {9, 9};
  clean.file(f).file(stored_file("third", "333"));
  for (Damage d : {Damage{28, true}, Damage{32 + 2, true}, Damage{0, true}, Damage{32 + 6, false}}) {
    SCOPED_TRACE(d.offset);
    std::vector<uint8_t> bytes = clean.bytes();
    bytes[second + d.offset] ^= 0x20;
    load(bytes);
    extract_result = 0;
    if (d.caught) {
      EXPECT_EQ(names({"first"}), walk());
      EXPECT_EQ(EXTRACT_BAD_HEADER, extract_result);
    } else {
      EXPECT_EQ(names({"first", "second", "third"}), walk());
      EXPECT_EQ(0, extract_result);
    }
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(ReaderTest, OtherBlocksAreSkipped) {
  BlockSpec unknown;
  unknown.type = 0x7A;
  unknown.extra = {1, 2, 3};
  BlockSpec long_unknown;
  long_unknown.type = 0x76;
  long_unknown.flags = 0x8000;
  long_unknown.data = std::vector<uint8_t>(300, 0x74);
  ArchiveBuilder b;
  b.marker().main_header().comment("a comment").file(stored_file("a", "1"));
  b.block(unknown).block(long_unknown).file(stored_file("b", "2")).end_block();
  load(b.bytes());
  EXPECT_EQ(names({"a", "b"}), walk());
  EXPECT_EQ(0, extract_result);
}

TEST_F(ReaderTest, SubBlocksOnlyWhenAskedFor) {
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("a", "1")).sub_block({1, 2, 3, 4});
  b.file(stored_file("b", "2"));
  load(b.bytes());
  EXPECT_EQ(names({"a", "<sub>", "b"}), walk(0x8074));
  load(b.bytes());
  EXPECT_EQ(names({"a", "b"}), walk(0x0074));
}

TEST_F(ReaderTest, ImpossibleSizesEndTheWalkQuietly) {
  // head_size below 7.
  BlockSpec tiny;
  tiny.type = 0x75;
  tiny.head_size = 6;
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("a", "1")).block(tiny).file(stored_file("b", "2"));
  load(b.bytes());
  EXPECT_EQ(names({"a"}), walk());
  // A data size that cannot be an offset.
  BlockSpec huge;
  huge.type = 0x75;
  huge.flags = 0x8000;
  huge.data_size = 0xFFFFFFF0u;
  ArchiveBuilder c;
  c.marker().main_header().file(stored_file("a", "1")).block(huge).file(stored_file("b", "2"));
  load(c.bytes());
  EXPECT_EQ(names({"a"}), walk());
  // A few stray bytes after the last entry.
  ArchiveBuilder d;
  d.marker().main_header().file(stored_file("a", "1")).raw({0x74, 0x74, 0x74});
  load(d.bytes());
  EXPECT_EQ(names({"a"}), walk());
  EXPECT_EQ(0, extract_result);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ReaderTest, BlocksReachingPastTheEnd) {
  // A skipped block that claims more data than there is: its contents (here
  // a sound file header, right where a 32-byte header read ends) must not be
  // taken for further blocks.
  ArchiveBuilder inner;
  inner.file(stored_file("hidden", "h"));
  BlockSpec overlong;
  overlong.type = 0x75;
  overlong.flags = 0x8000;
  overlong.extra = std::vector<uint8_t>(32 - 11, 0);
  overlong.data = inner.bytes();
  overlong.data_size = uint32_t(inner.bytes().size() + 1000);
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("a", "1")).block(overlong);
  load(b.bytes());
  EXPECT_EQ(names({"a"}), walk());
  EXPECT_EQ(names({"Unexpected end of file"}), errors);

  // An entry whose data runs past the end: once its data has been consumed,
  // the walk ends with the same report.
  errors.clear();
  FileSpec cut = stored_file("cut", "0123456789");
  cut.pack_size = 500;
  ArchiveBuilder c;
  c.marker().main_header().file(cut);
  load(c.bytes());
  ASSERT_TRUE(open_archive());
  ASSERT_GT(read_block(0x8074), 0);
  stream.seek(0, 2);  // where the data ran out
  EXPECT_EQ(0, read_block(0x8074));
  EXPECT_EQ(names({"Unexpected end of file"}), errors);

  // A file header whose name is cut off by the end of the archive.
  errors.clear();
  ArchiveBuilder d;
  d.marker().main_header().file(stored_file("a", "1")).file(stored_file("a-long-name", ""));
  std::vector<uint8_t> bytes = d.bytes();
  bytes.resize(bytes.size() - 4);
  load(bytes);
  EXPECT_EQ(names({"a"}), walk());
  EXPECT_EQ(EXTRACT_BAD_HEADER, extract_result);
}

}  // namespace
