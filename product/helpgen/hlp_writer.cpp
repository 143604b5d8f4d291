// WinHelp 3.1 file writer.
//
// A help file is a small file system of its own. The layout we write:
//
//   file header (16 bytes)
//     uint32 magic            0x00035F3F
//     uint32 directory_start  offset of the directory's internal file
//     uint32 first_free       -1: no free-list blocks
//     uint32 file_size        size of the whole file
//
//   internal files, each behind a 9-byte header
//     uint32 reserved         bytes reserved, header included
//     uint32 used             bytes of data that follow the header
//     uint8  flags            4
//   We reserve exactly what is used (reserved = used + 9): readers take the
//   reserved size as the end of the data.
//
//   |SYSTEM   version, title, copyright, first topic
//   |FONT     face names and font descriptors used by the text
//   |TOPIC    topic blocks holding the topic headers and paragraphs
//   |CONTEXT  B+ tree: hash of a context name -> topic offset
//   |KWBTREE  B+ tree: index keyword -> number of topics, offset in |KWDATA
//   |KWDATA   the topic offsets the keywords lead to
//   directory B+ tree: internal file name -> offset of its 9-byte header
//
// Both B+ trees here fit in one leaf page, so each has one level and no
// index pages. All numbers are little-endian.

#include "product/helpgen/hlp_writer.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

// ---------------------------------------------------------------------------
// Little-endian byte buffer.

struct TBytes {
  std::vector<uint8_t> Data;

  void u8(uint32_t v) { Data.push_back(static_cast<uint8_t>(v)); }
  void u16(uint32_t v) { u8(v & 0xFF); u8((v >> 8) & 0xFF); }
  void u32(uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); }
  void str(const std::string& s) { Data.insert(Data.end(), s.begin(), s.end()); }
  void strz(const std::string& s) { str(s); u8(0); }
  void bytes(const std::vector<uint8_t>& b) { Data.insert(Data.end(), b.begin(), b.end()); }
  void pad_to(size_t size) { if (Data.size() < size) Data.resize(size, 0); }
  size_t size() const { return Data.size(); }
  void put_u32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) Data[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

// Compressed integers of the paragraph records. The lowest bit of the first
// byte selects the long form; the value is stored shifted left by one.
//   unsigned short: 1 byte (v*2) for v < 0x80, else 2 bytes (v*2+1)
//   signed short:   1 byte (0x80+v*2) for -0x40..0x3F, else 2 bytes (0x8000+v*2+1)
//   unsigned long:  2 bytes (v*2) for v < 0x8000, else 4 bytes (v*2+1)
void put_comp_ushort(TBytes& b, uint32_t v) {
  if (v < 0x80) b.u8(v * 2);
  else b.u16(v * 2 + 1);
}
void put_comp_short(TBytes& b, int32_t v) {
  if (v >= -0x40 && v < 0x40) b.u8(static_cast<uint32_t>(0x80 + v * 2));
  else b.u16(static_cast<uint32_t>(0x8000 + v * 2 + 1));
}
void put_comp_ulong(TBytes& b, uint32_t v) {
  if (v < 0x8000) b.u16(v * 2);
  else b.u32(v * 2 + 1);
}

// ---------------------------------------------------------------------------
// Constants of the format.

const uint32_t HelpMagic = 0x00035F3F;
const uint16_t BtreeMagic = 0x293B;
const uint16_t BtreeFlagAlways = 0x0002;     // set in every B+ tree header
const uint16_t BtreeFlagDirectory = 0x0400;  // set in the directory's header
const uint8_t FileFlagsNormal = 4;

const uint16_t SystemMagic = 0x036C;
const uint16_t SystemMinor31 = 21;           // 3.1 help file: records follow the header
const uint16_t SystemMajor = 1;
const uint16_t SystemFlagsUncompressed = 0;  // 4 KiB topic blocks, no LZ77

// |SYSTEM record types.
const uint16_t SysTitle = 1;
const uint16_t SysCopyright = 2;
const uint16_t SysContents = 3;
const uint16_t SysConfig = 4;  // a macro run when the file opens

// Topic blocks: 4096 bytes each, a 12-byte header, then topic links that may
// run on into the next block. A TOPICPOS (position of a link) is
// block * 0x4000 + 12 + offset of the link in the block's data; a TOPICOFFSET
// (what jumps name) is block * 0x8000 + characters of text before it in the
// block.
const uint32_t TopicBlockSize = 4096;
const uint32_t TopicBlockHeader = 12;
const uint32_t TopicBlockData = TopicBlockSize - TopicBlockHeader;

// Topic link record types.
const uint8_t LinkTopicHeader = 0x02;
const uint8_t LinkDisplay = 0x20;
const uint32_t LinkHeaderSize = 21;  // BlockSize, DataLen2, Prev, Next, DataLen1, RecordType

// Paragraph format bits and character commands.
const uint16_t ParaSpaceBelow = 0x0004;
const uint16_t ParaLeftIndent = 0x0010;
const uint16_t ParaFirstIndent = 0x0040;
const uint8_t CmdFont = 0x80;
const uint8_t CmdParagraphEnd = 0x82;
const uint8_t CmdHotspotEnd = 0x89;
const uint8_t CmdJump = 0xE3;  // jump to the topic whose context hash follows
const uint8_t CmdEnd = 0xFF;

// Fonts: descriptor 0 is body text, 1 the topic heading.
const uint16_t FontBody = 0;
const uint16_t FontHeading = 1;
const uint32_t FaceNameSize = 20;

const uint32_t NoPosition = 0xFFFFFFFF;
const uint32_t GenerationTime = 912474360;  // 1998-12-01 01:06:00 UTC

uint32_t topic_pos(uint32_t data_offset) {
  return (data_offset / TopicBlockData) * 0x4000 + TopicBlockHeader + data_offset % TopicBlockData;
}

// ---------------------------------------------------------------------------
// Internal files and B+ trees.

void put_internal_file(TBytes& out, const TBytes& data) {
  out.u32(static_cast<uint32_t>(data.size() + 9));
  out.u32(static_cast<uint32_t>(data.size()));
  out.u8(FileFlagsNormal);
  out.bytes(data.Data);
}

// A one-page B+ tree: 38-byte header, then a leaf page of page_size bytes
// with an 8-byte header (free bytes, entries, previous page, next page).
bool put_btree(TBytes& out, uint16_t flags, uint16_t page_size, const char* structure,
               const std::vector<TBytes>& entries, std::string& error) {
  size_t entry_bytes = 0;
  for (const TBytes& e : entries) entry_bytes += e.size();
  if (8 + entry_bytes > page_size) {
    error = "B+ tree does not fit in one page";
    return false;
  }
  out.u16(BtreeMagic);
  out.u16(flags);
  out.u16(page_size);
  char structure_field[16] = {0};
  std::strncpy(structure_field, structure, sizeof structure_field - 1);
  out.Data.insert(out.Data.end(), structure_field, structure_field + 16);
  out.u16(0);       // must be zero
  out.u16(0);       // page splits
  out.u16(0);       // root page
  out.u16(0xFFFF);  // must be -1
  out.u16(1);       // total pages
  out.u16(1);       // levels
  out.u32(static_cast<uint32_t>(entries.size()));

  size_t page_start = out.size();
  out.u16(static_cast<uint32_t>(page_size - 8 - entry_bytes));  // unused bytes
  out.u16(static_cast<uint32_t>(entries.size()));
  out.u16(0xFFFF);  // previous page
  out.u16(0xFFFF);  // next page
  for (const TBytes& e : entries) out.bytes(e.Data);
  out.pad_to(page_start + page_size);
  return true;
}

// ---------------------------------------------------------------------------
// |TOPIC: topic links laid out in a continuous data stream that is cut into
// blocks at the end.

struct TLink {
  uint8_t Type = 0;
  TBytes Data1;  // after the 21-byte link header
  TBytes Data2;  // text (topic title, or paragraph strings)
  uint32_t Chars = 0;  // characters a paragraph counts for TOPICOFFSET
  uint32_t Start = 0;  // offset in the data stream
  size_t Topic = 0;
};

uint32_t link_size(const TLink& l) {
  return LinkHeaderSize + static_cast<uint32_t>(l.Data1.size() + l.Data2.size());
}

// One paragraph: text in one font, ended by a paragraph mark. Jumps written
// {shown text|context} become hotspots that open the topic of that context.
// Strings of data2 and commands of data1 alternate: each string is followed
// by one command. So the paragraph is: "" font, text before a jump, jump
// command, the shown text, hotspot end, ..., the rest, paragraph mark, ""
// end. TopicLength counts the characters shown plus the paragraph mark.
TLink make_paragraph(const std::string& text, uint16_t font, bool bullet, int32_t space_below) {
  TLink l;
  l.Type = LinkDisplay;

  TBytes format;
  uint16_t bits = ParaSpaceBelow;
  if (bullet) bits |= ParaLeftIndent | ParaFirstIndent;
  format.u8(0);     // unknown
  format.u8(0x80);  // unknown, biased by 0x80
  format.u16(0);    // paragraph id
  format.u16(bits);
  put_comp_short(format, space_below);
  if (bullet) {
    put_comp_short(format, 36);   // left indent
    put_comp_short(format, -18);  // first line hangs back for the dash
  }
  l.Data2.u8(0);
  format.u8(CmdFont);
  format.u16(font);

  uint32_t chars = 0;
  size_t at = 0;
  for (;;) {
    size_t open = text.find('{', at);
    if (open == std::string::npos) break;
    size_t bar = text.find('|', open);
    size_t close = text.find('}', open);  // well-formed: checked by the parser
    std::string before = text.substr(at, open - at);
    std::string shown = text.substr(open + 1, bar - open - 1);
    std::string context = text.substr(bar + 1, close - bar - 1);
    l.Data2.strz(before);
    format.u8(CmdJump);
    format.u32(static_cast<uint32_t>(help_context_hash(context)));
    l.Data2.strz(shown);
    format.u8(CmdHotspotEnd);
    chars += static_cast<uint32_t>(before.size() + shown.size());
    at = close + 1;
  }
  std::string rest = text.substr(at);
  l.Data2.strz(rest);
  format.u8(CmdParagraphEnd);
  l.Data2.u8(0);
  format.u8(CmdEnd);
  l.Chars = chars + static_cast<uint32_t>(rest.size()) + 1;

  put_comp_ulong(l.Data1, static_cast<uint32_t>(l.Data2.size()));  // text size
  put_comp_ushort(l.Data1, l.Chars);                               // character count
  l.Data1.bytes(format.Data);
  return l;
}

bool build_topic_file(const THelpSource& src, TBytes& topic, std::vector<uint32_t>& topic_offsets,
                      std::string& error) {
  std::vector<TLink> links;
  for (size_t t = 0; t < src.Topics.size(); t++) {
    const THelpTopic& topic_src = src.Topics[t];
    TLink header;
    header.Type = LinkTopicHeader;
    header.Topic = t;
    header.Data2.str(topic_src.Title);  // no terminating zero: macros would follow one
    links.push_back(header);
    TLink heading = make_paragraph(topic_src.Title, FontHeading, false, 12);
    heading.Topic = t;
    links.push_back(heading);
    for (const THelpParagraph& p : topic_src.Paragraphs) {
      TLink para = make_paragraph(p.Bullet ? "- " + p.Text : p.Text, FontBody, p.Bullet, 8);
      para.Topic = t;
      links.push_back(para);
    }
  }

  // Topic headers are fixed-size (28 bytes of data1), so offsets can be laid
  // out before their fields are known.
  for (TLink& l : links)
    if (l.Type == LinkTopicHeader) l.Data1.pad_to(28);
  uint32_t at = 0;
  for (TLink& l : links) {
    l.Start = at;
    at += link_size(l);
  }
  if (at > 0x3FFF * TopicBlockData / 2) {
    error = "help text too large";
    return false;
  }

  // TOPICOFFSET of each topic: its block and the characters before it there.
  topic_offsets.assign(src.Topics.size(), 0);
  std::vector<uint32_t> header_index;
  uint32_t block = 0, chars = 0;
  for (size_t i = 0; i < links.size(); i++) {
    uint32_t b = links[i].Start / TopicBlockData;
    if (b != block) { block = b; chars = 0; }
    if (links[i].Type == LinkTopicHeader) {
      topic_offsets[links[i].Topic] = block * 0x8000 + chars;
      header_index.push_back(static_cast<uint32_t>(i));
    } else {
      chars += links[i].Chars;
    }
  }

  // Topic header fields.
  for (size_t h = 0; h < header_index.size(); h++) {
    size_t i = header_index[h];
    size_t end = h + 1 < header_index.size() ? header_index[h + 1] : links.size();
    uint32_t topic_bytes = 0;
    for (size_t k = i; k < end; k++) topic_bytes += link_size(links[k]);
    TBytes d;
    d.u32(topic_bytes);                                                   // block size of the topic
    d.u32(h > 0 ? topic_offsets[h - 1] : NoPosition);                     // browse back
    d.u32(h + 1 < header_index.size() ? topic_offsets[h + 1] : NoPosition);  // browse forward
    d.u32(static_cast<uint32_t>(h));                                      // topic number
    d.u32(NoPosition);                                                    // non-scrolling region
    d.u32(i + 1 < end ? topic_pos(links[i + 1].Start) : NoPosition);      // scrolling region
    d.u32(h + 1 < header_index.size() ? topic_pos(links[header_index[h + 1]].Start) : NoPosition);
    links[i].Data1 = d;
  }

  // The continuous stream of links.
  TBytes stream;
  for (size_t i = 0; i < links.size(); i++) {
    const TLink& l = links[i];
    stream.u32(link_size(l));                                     // block size
    stream.u32(static_cast<uint32_t>(l.Data2.size()));            // data2 size, uncompressed
    stream.u32(i > 0 ? topic_pos(links[i - 1].Start) : NoPosition);  // previous link
    stream.u32(i + 1 < links.size() ? topic_pos(links[i + 1].Start) : NoPosition);  // next link
    stream.u32(LinkHeaderSize + static_cast<uint32_t>(l.Data1.size()));  // header + data1
    stream.u8(l.Type);
    stream.bytes(l.Data1.Data);
    stream.bytes(l.Data2.Data);
  }

  // Cut into blocks. Block header: last link of the previous block, first
  // link starting in this block, last topic header of the previous blocks.
  uint32_t blocks = (static_cast<uint32_t>(stream.size()) + TopicBlockData - 1) / TopicBlockData;
  for (uint32_t b = 0; b < blocks; b++) {
    uint32_t last_link = NoPosition, first_link = NoPosition, last_header = NoPosition;
    for (const TLink& l : links) {
      uint32_t lb = l.Start / TopicBlockData;
      if (lb < b) {
        last_link = topic_pos(l.Start);
        if (l.Type == LinkTopicHeader) last_header = topic_pos(l.Start);
      }
      if (lb == b && first_link == NoPosition) first_link = topic_pos(l.Start);
    }
    topic.u32(last_link);
    topic.u32(first_link);
    topic.u32(last_header);
    size_t from = b * TopicBlockData;
    size_t to = std::min<size_t>(from + TopicBlockData, stream.size());
    topic.Data.insert(topic.Data.end(), stream.Data.begin() + from, stream.Data.begin() + to);
    topic.pad_to((b + 1) * TopicBlockSize);  // blocks are whole: readers copy them whole
  }
  return true;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

}  // namespace

int32_t help_context_hash(const std::string& context) {
  // Base-43 digits: letters (either case) 17..42, '1'..'9' 1..9, '0' 10,
  // '.' 12, '_' 13; other characters are skipped. Arithmetic wraps at 32 bits.
  uint32_t hash = 0;
  for (unsigned char c : context) {
    uint32_t x = 0;
    if (c >= 'A' && c <= 'Z') x = c - 'A' + 17;
    else if (c >= 'a' && c <= 'z') x = c - 'a' + 17;
    else if (c >= '1' && c <= '9') x = c - '0';
    else if (c == '0') x = 10;
    else if (c == '.') x = 12;
    else if (c == '_') x = 13;
    if (x) hash = hash * 43 + x;
  }
  return static_cast<int32_t>(hash);
}

bool parse_help_source(const std::string& text, THelpSource& out, std::string& error) {
  out = THelpSource();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::string para;
  bool bullet = false;
  auto flush = [&]() {
    if (!para.empty() && !out.Topics.empty())
      out.Topics.back().Paragraphs.push_back({para, bullet});
    para.clear();
    bullet = false;
  };
  while (std::getline(in, line)) {
    number++;
    std::string t = trim(line);
    if (!t.empty() && t[0] == ';') continue;
    if (t.empty()) { flush(); continue; }
    if (t[0] == '@') {
      flush();
      size_t sp = t.find(' ');
      std::string key = t.substr(0, sp);
      std::string rest = sp == std::string::npos ? "" : trim(t.substr(sp));
      if (key == "@title") out.Title = rest;
      else if (key == "@copyright") out.Copyright = rest;
      else if (key == "@keywords") {
        if (out.Topics.empty()) {
          error = "line " + std::to_string(number) + ": @keywords before the first @topic";
          return false;
        }
        size_t at = 0;
        while (at <= rest.size()) {
          size_t end = rest.find(';', at);
          if (end == std::string::npos) end = rest.size();
          std::string word = trim(rest.substr(at, end - at));
          if (!word.empty()) out.Topics.back().Keywords.push_back(word);
          at = end + 1;
        }
      }
      else if (key == "@topic") {
        size_t sp2 = rest.find(' ');
        if (sp2 == std::string::npos) {
          error = "line " + std::to_string(number) + ": @topic needs a context name and a title";
          return false;
        }
        THelpTopic topic;
        topic.Context = rest.substr(0, sp2);
        topic.Title = trim(rest.substr(sp2));
        for (const THelpTopic& other : out.Topics)
          if (help_context_hash(other.Context) == help_context_hash(topic.Context)) {
            error = "line " + std::to_string(number) + ": context name " + topic.Context +
                    " collides with " + other.Context;
            return false;
          }
        out.Topics.push_back(topic);
      } else {
        error = "line " + std::to_string(number) + ": unknown directive " + key;
        return false;
      }
      continue;
    }
    if (out.Topics.empty()) {
      error = "line " + std::to_string(number) + ": text before the first @topic";
      return false;
    }
    if (t.size() >= 2 && t[0] == '-' && t[1] == ' ') {
      flush();
      bullet = true;
      para = trim(t.substr(2));
      continue;
    }
    if (!para.empty()) para += ' ';
    para += t;
  }
  flush();
  if (out.Topics.empty()) {
    error = "no @topic in the source";
    return false;
  }
  // Jumps: {shown text|context}, not nested, to a topic of this file.
  for (const THelpTopic& topic : out.Topics)
    for (const THelpParagraph& p : topic.Paragraphs) {
      size_t at = 0;
      while ((at = p.Text.find_first_of("{}|", at)) != std::string::npos) {
        size_t bar = p.Text.find('|', at), close = p.Text.find('}', at);
        size_t next_open = p.Text.find('{', at + 1);
        if (p.Text[at] != '{' || bar == std::string::npos || close == std::string::npos || bar > close ||
            bar == at + 1 || (next_open != std::string::npos && next_open < close)) {
          error = "topic " + topic.Context + ": malformed jump in \"" + p.Text + "\"";
          return false;
        }
        std::string context = p.Text.substr(bar + 1, close - bar - 1);
        bool known = false;
        for (const THelpTopic& t : out.Topics) known |= t.Context == context;
        if (!known) {
          error = "topic " + topic.Context + ": jump to unknown topic " + context;
          return false;
        }
        at = close + 1;
      }
    }
  return true;
}

bool build_help_file(const THelpSource& src, std::vector<uint8_t>& image, std::string& error) {
  if (src.Topics.empty()) {
    error = "no topics";
    return false;
  }

  // |SYSTEM: header, then typed records (type, size, data).
  TBytes system;
  system.u16(SystemMagic);
  system.u16(SystemMinor31);
  system.u16(SystemMajor);
  system.u32(GenerationTime);
  system.u16(SystemFlagsUncompressed);
  auto record = [&](uint16_t type, const TBytes& data) {
    system.u16(type);
    system.u16(static_cast<uint32_t>(data.size()));
    system.bytes(data.Data);
  };
  TBytes r;
  r.strz(src.Title);
  record(SysTitle, r);
  r = TBytes();
  r.strz(src.Copyright);
  record(SysCopyright, r);
  r = TBytes();
  r.u32(0);  // the first topic sits at offset 0
  record(SysContents, r);
  r = TBytes();
  r.strz("BrowseButtons()");  // the << and >> buttons walk the topics in order
  record(SysConfig, r);

  // |FONT: counts and offsets, face names of 20 bytes, 11-byte descriptors
  // (attributes, half points, family, face index, foreground and background
  // RGB). Attribute 1 is bold; family 3 is a sans-serif face.
  TBytes font;
  const char* faces[] = {"Arial"};
  const uint16_t face_count = 1, descriptor_count = 2;
  font.u16(face_count);
  font.u16(descriptor_count);
  font.u16(8);
  font.u16(8 + face_count * FaceNameSize);
  for (const char* face : faces) {
    size_t at = font.size();
    font.str(face);
    font.pad_to(at + FaceNameSize);
  }
  struct { uint8_t attr, half_points; uint8_t r, g, b; } descriptors[] = {
      {0, 20, 0x00, 0x00, 0x00},  // body: 10 pt, black
      {1, 28, 0x10, 0x40, 0x70},  // heading: 14 pt bold, deep blue
  };
  static_assert(sizeof descriptors / sizeof descriptors[0] == 2, "descriptor count");
  for (const auto& d : descriptors) {
    font.u8(d.attr);
    font.u8(d.half_points);
    font.u8(3);  // family
    font.u16(0);  // face index
    font.u8(d.r); font.u8(d.g); font.u8(d.b);
    font.u8(0xFF); font.u8(0xFF); font.u8(0xFF);
  }

  TBytes topic;
  std::vector<uint32_t> offsets;
  if (!build_topic_file(src, topic, offsets, error)) return false;

  // |CONTEXT: leaf entries (hash, topic offset), ordered by signed hash.
  std::vector<std::pair<int32_t, uint32_t>> ctx;
  for (size_t i = 0; i < src.Topics.size(); i++)
    ctx.push_back({help_context_hash(src.Topics[i].Context), offsets[i]});
  std::sort(ctx.begin(), ctx.end());
  std::vector<TBytes> ctx_entries;
  for (const auto& c : ctx) {
    TBytes e;
    e.u32(static_cast<uint32_t>(c.first));
    e.u32(c.second);
    ctx_entries.push_back(e);
  }
  TBytes context;
  if (!put_btree(context, BtreeFlagAlways, 0x0800, "L4", ctx_entries, error)) return false;

  // |KWBTREE leaf entries: keyword, count of topics (16 bits), offset of
  // its first topic offset in |KWDATA; keywords in case-insensitive order,
  // as the index lists them.
  std::vector<std::pair<std::string, std::vector<uint32_t>>> keywords;
  for (size_t i = 0; i < src.Topics.size(); i++)
    for (const std::string& word : src.Topics[i].Keywords) {
      auto found = std::find_if(keywords.begin(), keywords.end(),
                                [&](const auto& k) { return k.first == word; });
      if (found == keywords.end()) keywords.push_back({word, {offsets[i]}});
      else if (found->second.back() != offsets[i]) found->second.push_back(offsets[i]);
    }
  auto lower = [](std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  };
  std::sort(keywords.begin(), keywords.end(), [&](const auto& a, const auto& b) {
    std::string la = lower(a.first), lb = lower(b.first);
    return la != lb ? la < lb : a.first < b.first;
  });
  std::vector<TBytes> kw_entries;
  TBytes kwdata;
  for (const auto& k : keywords) {
    TBytes e;
    e.strz(k.first);
    e.u16(static_cast<uint32_t>(k.second.size()));
    e.u32(static_cast<uint32_t>(kwdata.size()));
    kw_entries.push_back(e);
    for (uint32_t offset : k.second) kwdata.u32(offset);
  }
  TBytes kwbtree;
  if (!keywords.empty() && !put_btree(kwbtree, BtreeFlagAlways, 0x0800, "z24", kw_entries, error)) return false;

  // Lay out the file: header, internal files, directory last.
  TBytes out;
  out.u32(HelpMagic);
  out.u32(0);           // directory start, patched below
  out.u32(NoPosition);  // no free blocks
  out.u32(0);           // file size, patched below
  std::vector<std::pair<std::string, uint32_t>> dir;
  auto add = [&](const char* name, const TBytes& data) {
    dir.push_back({name, static_cast<uint32_t>(out.size())});
    put_internal_file(out, data);
  };
  add("|SYSTEM", system);
  add("|FONT", font);
  add("|TOPIC", topic);
  add("|CONTEXT", context);
  if (!keywords.empty()) {
    add("|KWBTREE", kwbtree);
    add("|KWDATA", kwdata);
  }

  // Directory: leaf entries (zero-terminated name, file offset) in strcmp order.
  std::sort(dir.begin(), dir.end());
  std::vector<TBytes> dir_entries;
  for (const auto& d : dir) {
    TBytes e;
    e.strz(d.first);
    e.u32(d.second);
    dir_entries.push_back(e);
  }
  TBytes directory;
  if (!put_btree(directory, BtreeFlagAlways | BtreeFlagDirectory, 0x0400, "z4", dir_entries, error))
    return false;
  uint32_t dir_start = static_cast<uint32_t>(out.size());
  put_internal_file(out, directory);
  out.put_u32(4, dir_start);
  out.put_u32(12, static_cast<uint32_t>(out.size()));
  image = out.Data;
  return true;
}

std::string build_contents_file(const THelpSource& src, const std::string& base_name) {
  // One heading with the topics under it, as "level title=context" lines.
  std::string s = ":Base " + base_name + "\r\n";
  s += ":Title " + src.Title + "\r\n";
  s += "1 " + src.Title + "\r\n";
  for (const THelpTopic& t : src.Topics) s += "2 " + t.Title + "=" + t.Context + "\r\n";
  return s;
}
