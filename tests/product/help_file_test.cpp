// The help compiler's output, read back by a reader of our own that follows
// the help file's structures from the header on: the internal directory,
// |SYSTEM, |FONT, the chain of topic links in |TOPIC and the |CONTEXT map.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "product/helpgen/hlp_writer.h"

namespace {

struct TReadTopic {
  std::string Title;
  uint32_t Number = 0;
  uint32_t Offset = 0;  // TOPICOFFSET: block * 0x8000 + characters before it in the block
  uint32_t Position = 0;
  uint32_t NextTopic = 0;
  uint32_t Scroll = 0;
  std::vector<std::string> Paragraphs;
};

struct THelpReader {
  std::vector<uint8_t> D;
  std::map<std::string, std::pair<uint32_t, uint32_t>> Files;  // name -> (data start, data size)
  std::vector<std::string> Order;
  std::string Title;
  uint32_t ContentsOffset = 0xFFFFFFFF;
  std::vector<std::string> Faces;
  std::vector<TReadTopic> Topics;
  std::vector<std::pair<int32_t, uint32_t>> Context;
  std::vector<uint32_t> BlockHeaders;  // three TOPICPOS per block
  std::vector<int32_t> Jumps;          // context hashes the hotspots jump to
  std::vector<std::string> Macros;     // run when the file opens
  std::vector<std::pair<std::string, std::vector<uint32_t>>> Keywords;  // index: keyword -> topic offsets

  uint32_t u16(size_t at) const { return D.at(at) | D.at(at + 1) << 8; }
  uint32_t u32(size_t at) const { return u16(at) | u16(at + 2) << 16; }
  std::string strz(size_t at) const {
    std::string s;
    while (D.at(at)) s += static_cast<char>(D[at++]);
    return s;
  }

  // A one-level B+ tree at `at` (behind its file header); calls leaf(entry
  // offset) for each entry, which returns the entry's size.
  template <typename Leaf>
  void ReadTree(size_t at, const char* structure, Leaf leaf) {
    ASSERT_EQ(u16(at), 0x293Bu);
    ASSERT_EQ(u16(at + 4) >= 0x400, true);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(&D[at + 6])), structure);
    uint32_t page_size = u16(at + 4);
    ASSERT_EQ(u16(at + 32), 1u) << "levels";
    uint32_t root = u16(at + 26);
    size_t page = at + 38 + root * page_size;
    uint32_t entries = u16(page + 2);
    ASSERT_EQ(entries, u32(at + 34));
    size_t e = page + 8;
    for (uint32_t i = 0; i < entries; i++) e += leaf(e);
    ASSERT_EQ(u16(page), page_size - (e - page)) << "free bytes of the leaf page";
  }

  void Read(const std::vector<uint8_t>& image) {
    D = image;
    ASSERT_GE(D.size(), 16u);
    ASSERT_EQ(u32(0), 0x00035F3Fu);
    ASSERT_EQ(u32(8), 0xFFFFFFFFu);
    ASSERT_EQ(u32(12), D.size());
    uint32_t dir = u32(4);
    ASSERT_LT(dir + 9, D.size());
    ASSERT_EQ(u32(dir), u32(dir + 4) + 9);
    ASSERT_EQ(u16(dir + 9 + 2) & 0x0400, 0x0400u) << "directory flag";
    ReadTree(dir + 9, "z4", [&](size_t e) {
      std::string name = strz(e);
      uint32_t offset = u32(e + name.size() + 1);
      EXPECT_LE(offset + 9, D.size());
      EXPECT_EQ(u32(offset), u32(offset + 4) + 9) << name << ": reserved space is the used space";
      EXPECT_LE(offset + u32(offset), D.size()) << name;
      Files[name] = {offset + 9, u32(offset + 4)};
      Order.push_back(name);
      return name.size() + 5;
    });
    for (size_t i = 1; i < Order.size(); i++)
      EXPECT_LT(std::strcmp(Order[i - 1].c_str(), Order[i].c_str()), 0) << "directory order";
    ASSERT_TRUE(Files.count("|SYSTEM") && Files.count("|TOPIC") && Files.count("|FONT") &&
                Files.count("|CONTEXT"));
    ReadSystem();
    ReadFont();
    ReadTopic();
    ReadContext();
    ReadKeywords();
  }

  void ReadKeywords() {
    if (!Files.count("|KWBTREE")) return;
    ASSERT_TRUE(Files.count("|KWDATA")) << "an index needs its data";
    auto [data_at, data_size] = Files["|KWDATA"];
    ReadTree(Files["|KWBTREE"].first, "z24", [&](size_t e) {
      std::string word = strz(e);
      uint32_t count = u16(e + word.size() + 1), at = u32(e + word.size() + 3);
      EXPECT_LE(at + 4 * count, data_size) << word;
      std::vector<uint32_t> offsets;
      for (uint32_t i = 0; i < count; i++) offsets.push_back(u32(data_at + at + 4 * i));
      Keywords.push_back({word, offsets});
      return word.size() + 7;
    });
  }

  void ReadSystem() {
    auto [at, size] = Files["|SYSTEM"];
    ASSERT_EQ(u16(at), 0x036Cu);
    ASSERT_EQ(u16(at + 2), 21u) << "3.1 minor version";
    ASSERT_EQ(u16(at + 4), 1u);
    ASSERT_EQ(u16(at + 10), 0u) << "uncompressed topic blocks of 4 KiB";
    size_t p = at + 12;
    while (p < at + size) {
      uint32_t type = u16(p), len = u16(p + 2);
      if (type == 1) Title = strz(p + 4);
      if (type == 3) { EXPECT_EQ(len, 4u); ContentsOffset = u32(p + 4); }
      if (type == 4) Macros.push_back(strz(p + 4));
      p += 4 + len;
    }
    EXPECT_EQ(p, at + size) << "records end with the file";
  }

  void ReadFont() {
    auto [at, size] = Files["|FONT"];
    uint32_t faces = u16(at), descriptors = u16(at + 2), face_at = u16(at + 4), desc_at = u16(at + 6);
    ASSERT_GT(faces, 0u);
    uint32_t face_len = (desc_at - face_at) / faces;
    for (uint32_t i = 0; i < faces; i++) Faces.push_back(strz(at + face_at + i * face_len));
    EXPECT_EQ(desc_at + descriptors * 11, size);
    for (uint32_t i = 0; i < descriptors; i++) EXPECT_LT(u16(at + desc_at + i * 11 + 3), faces);
  }

  // Compressed integers (lowest bit selects the long form).
  static uint32_t comp_ushort(const uint8_t*& p) {
    if (*p & 1) { uint32_t v = (p[0] | p[1] << 8) >> 1; p += 2; return v; }
    return *p++ >> 1;
  }
  static uint32_t comp_ulong(const uint8_t*& p) {
    if (*p & 1) { uint32_t v = (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) >> 1; p += 4; return v; }
    uint32_t v = (p[0] | p[1] << 8) >> 1;
    p += 2;
    return v;
  }
  static void skip_comp_short(const uint8_t*& p) { p += (*p & 1) ? 2 : 1; }

  void ReadTopic() {
    auto [at, size] = Files["|TOPIC"];
    ASSERT_EQ(size % 4096, 0u) << "whole topic blocks";
    // The links as one stream, without the block headers.
    std::vector<uint8_t> s;
    for (uint32_t b = 0; b < size / 4096; b++) {
      for (int k = 0; k < 3; k++) BlockHeaders.push_back(u32(at + b * 4096 + k * 4));
      s.insert(s.end(), D.begin() + at + b * 4096 + 12, D.begin() + at + (b + 1) * 4096);
    }
    auto stream_at = [](uint32_t pos) { return (pos >> 14) * 4084 + (pos & 0x3FFF) - 12; };
    auto g32 = [&](size_t o) { return static_cast<uint32_t>(s.at(o) | s.at(o + 1) << 8 | s.at(o + 2) << 16 | s.at(o + 3) << 24); };

    uint32_t pos = 12, prev = 0xFFFFFFFF, block = 0, chars = 0;
    int guard = 0;
    while (pos != 0xFFFFFFFF && guard++ < 10000) {
      ASSERT_GE(pos & 0x3FFF, 12u);
      size_t o = stream_at(pos);
      ASSERT_LT(o + 21, s.size());
      uint32_t block_size = g32(o), len2 = g32(o + 4), len1 = g32(o + 16);
      uint8_t type = s[o + 20];
      EXPECT_EQ(g32(o + 8), prev) << "previous link";
      ASSERT_GE(len1, 21u);
      ASSERT_GE(block_size, len1);
      EXPECT_EQ(len2, block_size - len1) << "text is stored uncompressed";
      ASSERT_LE(o + block_size, s.size());
      const uint8_t* d1 = &s[o + 21];
      std::string d2(reinterpret_cast<const char*>(&s[o + len1]), block_size - len1);
      if (pos >> 14 != block) { block = pos >> 14; chars = 0; }
      if (type == 0x02) {
        TReadTopic t;
        t.Title = d2;
        t.Position = pos;
        t.Offset = block * 0x8000 + chars;
        t.Number = g32(o + 21 + 12);
        t.Scroll = g32(o + 21 + 20);
        t.NextTopic = g32(o + 21 + 24);
        EXPECT_EQ(len1, 21u + 28u);
        Topics.push_back(t);
      } else {
        ASSERT_EQ(type, 0x20) << "paragraph record";
        ASSERT_FALSE(Topics.empty()) << "paragraph before the first topic";
        const uint8_t* p = d1;
        EXPECT_EQ(comp_ulong(p), len2);
        uint32_t count = comp_ushort(p);
        p += 4;
        uint32_t bits = p[0] | p[1] << 8;
        p += 2;
        for (uint32_t bit : {0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u})
          if (bits & bit) skip_comp_short(p);
        EXPECT_EQ(bits & ~0x7Eu, 0u) << "only spacing and indent fields";
        // Strings of data2 and the commands of data1 alternate.
        std::string text;
        size_t ts = 0;
        uint32_t counted = 0;
        while (p < &s[o + len1]) {
          size_t z = d2.find('\0', ts);
          ASSERT_NE(z, std::string::npos) << "a string for every command";
          text += d2.substr(ts, z - ts);
          counted += static_cast<uint32_t>(z - ts);
          size_t ts_before = ts;
          ts = z + 1;
          uint8_t cmd = *p++;
          if (cmd == 0xFF) break;
          if (cmd == 0x80) { EXPECT_LT(static_cast<uint32_t>(p[0] | p[1] << 8), 2u); p += 2; }
          else if (cmd == 0x82) counted++;
          else if (cmd == 0xE3) {
            Jumps.push_back(static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24));
            p += 4;
          }
          else if (cmd == 0x89) EXPECT_GT(z, ts_before) << "a hotspot shows some text";
          else ADD_FAILURE() << "unexpected command " << int(cmd);
        }
        EXPECT_EQ(p, &s[o + len1]) << "commands end with data1";
        EXPECT_EQ(count, counted) << "character count of the paragraph";
        chars += count;
        Topics.back().Paragraphs.push_back(text);
      }
      prev = pos;
      pos = g32(o + 12);
    }
    ASSERT_EQ(pos, 0xFFFFFFFFu) << "the chain of links ends";
  }

  void ReadContext() {
    auto [at, size] = Files["|CONTEXT"];
    (void)size;
    ReadTree(at, "L4", [&](size_t e) {
      Context.push_back({static_cast<int32_t>(u32(e)), u32(e + 4)});
      return size_t{8};
    });
  }
};

THelpSource Parse(const std::string& text) {
  THelpSource src;
  std::string error;
  EXPECT_TRUE(parse_help_source(text, src, error)) << error;
  return src;
}

void ReadBack(const THelpSource& src, THelpReader& reader) {
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(build_help_file(src, image, error)) << error;
  reader.Read(image);
}

// The text a paragraph shows: jumps {shown|context} show their first part.
std::string Shown(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '{') {
      size_t bar = text.find('|', i), close = text.find('}', i);
      out += text.substr(i + 1, bar - i - 1);
      i = close;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The reader's view of the file matches the source, and every cross
// reference (next topic, scrolling region, context map, contents) lands on
// the right topic.
void ExpectMatches(const THelpSource& src, const THelpReader& r) {
  EXPECT_EQ(r.Title, src.Title);
  EXPECT_EQ(r.ContentsOffset, r.Topics.empty() ? 0u : r.Topics[0].Offset);
  ASSERT_EQ(r.Topics.size(), src.Topics.size());
  std::vector<std::pair<int32_t, uint32_t>> want;
  for (size_t i = 0; i < src.Topics.size(); i++) {
    const TReadTopic& t = r.Topics[i];
    EXPECT_EQ(t.Title, src.Topics[i].Title);
    EXPECT_EQ(t.Number, i);
    ASSERT_EQ(t.Paragraphs.size(), src.Topics[i].Paragraphs.size() + 1);
    EXPECT_EQ(t.Paragraphs[0], src.Topics[i].Title) << "heading";
    for (size_t k = 0; k < src.Topics[i].Paragraphs.size(); k++) {
      const THelpParagraph& p = src.Topics[i].Paragraphs[k];
      EXPECT_EQ(t.Paragraphs[k + 1], Shown(p.Bullet ? "- " + p.Text : p.Text));
    }
    EXPECT_EQ(t.NextTopic, i + 1 < r.Topics.size() ? r.Topics[i + 1].Position : 0xFFFFFFFFu);
    EXPECT_NE(t.Scroll, 0xFFFFFFFFu);
    if (i > 0) {
      EXPECT_GT(t.Offset, r.Topics[i - 1].Offset) << "topic offsets rise";
    }
    want.push_back({help_context_hash(src.Topics[i].Context), t.Offset});
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(r.Context, want);
  // Every keyword of the source leads to its topics, and to nothing else.
  std::map<std::string, std::vector<uint32_t>> index;
  for (size_t i = 0; i < src.Topics.size(); i++)
    for (const std::string& k : src.Topics[i].Keywords) index[k].push_back(r.Topics[i].Offset);
  ASSERT_EQ(r.Keywords.size(), index.size());
  for (const auto& [word, offsets] : r.Keywords) EXPECT_EQ(offsets, index[word]) << word;
  for (int32_t jump : r.Jumps) {
    bool found = false;
    for (const auto& c : r.Context) found |= c.first == jump;
    EXPECT_TRUE(found) << "a jump to a hash the context map does not know";
  }
}

TEST(HelpFile, ShippedSourceCompilesIntoAReadableFile) {
  std::ifstream in(VELMORA_HELP_SOURCE, std::ios::binary);
  ASSERT_TRUE(in) << VELMORA_HELP_SOURCE;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  THelpSource src = Parse(text);
  ASSERT_GE(src.Topics.size(), 3u);
  EXPECT_EQ(src.Topics[0].Context, "about");
  THelpReader r;
  ReadBack(src, r);
  ExpectMatches(src, r);
  EXPECT_EQ(r.Faces, std::vector<std::string>{"Arial"});
  EXPECT_EQ(r.BlockHeaders[1], 12u) << "the first link follows the first block header";
  EXPECT_GE(r.Jumps.size(), 3u) << "the topics link to each other";
  EXPECT_EQ(r.Macros, std::vector<std::string>{"BrowseButtons()"});
  EXPECT_GE(r.Keywords.size(), 6u);

  std::string cnt = build_contents_file(src, "Velmora.Hlp");
  EXPECT_EQ(cnt.rfind(":Base Velmora.Hlp\r\n", 0), 0u);
  for (const THelpTopic& t : src.Topics)
    EXPECT_NE(cnt.find("2 " + t.Title + "=" + t.Context + "\r\n"), std::string::npos);
}

TEST(HelpFile, LinksRunAcrossTopicBlocks) {
  // Enough text for several 4 KiB blocks: links cross block boundaries, and
  // topic offsets restart their character count in every block.
  std::string text = "@title Long\n";
  for (int t = 0; t < 4; t++) {
    text += "@topic topic_" + std::to_string(t) + " Topic number " + std::to_string(t) + "\n";
    text += "@keywords shared; only " + std::to_string(t) + "; Shared\n";
    for (int p = 0; p < 12; p++)
      text += std::string(p % 3 == 0 ? "- " : "") + "Paragraph " + std::to_string(p) + " " +
              std::string(90 + 7 * p, static_cast<char>('a' + p)) + " {next|topic_" +
              std::to_string((t + 1) % 4) + "} end\n\n";
  }
  THelpSource src = Parse(text);
  THelpReader r;
  ReadBack(src, r);
  ASSERT_GE(r.BlockHeaders.size() / 3, 3u);
  ExpectMatches(src, r);
  bool later_block = false;
  for (const TReadTopic& t : r.Topics) later_block |= (t.Offset >> 15) > 0;
  EXPECT_TRUE(later_block) << "a topic starts in a later block";
  // Block headers: the first link of each block and the last one before it.
  for (size_t b = 1; b < r.BlockHeaders.size() / 3; b++) {
    uint32_t last = r.BlockHeaders[b * 3], first = r.BlockHeaders[b * 3 + 1];
    EXPECT_EQ(last >> 14, b - 1);
    if (first != 0xFFFFFFFF) {
      EXPECT_EQ(first >> 14, b);
    }
  }
}

TEST(HelpSource, RejectsMistakesWithTheLineNumber) {
  struct { const char* text; const char* message; } cases[] = {
      {"@title T\nstray text\n", "line 2"},
      {"@topic about About\n@frobnicate\n", "line 2: unknown directive"},
      {"@topic about\n", "line 1"},
      {"@topic about A\n@topic ABOUT B\n", "collides"},  // same hash: case does not count
      {"; nothing but a comment\n", "no @topic"},
      {"@topic a A\nsee {B|b}\n", "unknown topic b"},
      {"@keywords early\n@topic a A\n", "line 1: @keywords before"},
      {"@topic a A\nsee {B\n", "malformed jump"},
      {"@topic a A\nsee {B|a\n", "malformed jump"},
      {"@topic a A\nsee {|a}\n", "malformed jump"},
      {"@topic a A\nsee {x {B|a}}\n", "malformed jump"},
      {"@topic a A\nsee B|a}\n", "malformed jump"},
  };
  for (const auto& c : cases) {
    THelpSource src;
    std::string error;
    EXPECT_FALSE(parse_help_source(c.text, src, error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(HelpSource, JoinsLinesIntoParagraphsAndKeepsListItemsApart) {
  THelpSource src = Parse(
      "@topic a Title A\nfirst line\nsecond line\n\n- item one\n- item two\ncontinued\nafter\n");
  ASSERT_EQ(src.Topics.size(), 1u);
  const auto& p = src.Topics[0].Paragraphs;
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].Text, "first line second line");
  EXPECT_FALSE(p[0].Bullet);
  EXPECT_EQ(p[1].Text, "item one");
  EXPECT_TRUE(p[1].Bullet);
  EXPECT_EQ(p[2].Text, "item two continued after");
  EXPECT_TRUE(p[2].Bullet);
}

}  // namespace
