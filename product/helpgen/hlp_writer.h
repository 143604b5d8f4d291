// Writes a WinHelp 3.1 help file (.Hlp) and its contents file (.cnt) from a
// small plain-text source. Host tool; no Windows headers.
//
// Source syntax, one directive or text line per line:
//   ; comment
//   @title <help title>            title shown in the help window's caption
//   @copyright <text>              shown in the viewer's About box
//   @topic <context> <title>       starts a topic; <context> is its jump name
//   @keywords <word>; <word>...    index entries for the current topic
//   <text>                         body text; blank lines end paragraphs
//   - <text>                       a list item (indented paragraph)
// In text, {shown text|context} is a jump to the topic with that context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct THelpParagraph {
  std::string Text;
  bool Bullet = false;
};

struct THelpTopic {
  std::string Context;
  std::string Title;
  std::vector<THelpParagraph> Paragraphs;
  std::vector<std::string> Keywords;  // entries of the index that lead here
};

struct THelpSource {
  std::string Title;
  std::string Copyright;
  std::vector<THelpTopic> Topics;
};

// Parses the source text; on failure returns false with a message naming
// the line.
bool parse_help_source(const std::string& text, THelpSource& out, std::string& error);

// The hash by which a help file finds a topic from its context name.
int32_t help_context_hash(const std::string& context);

// Builds the whole .Hlp image. Returns false (with a message) when the
// source does not fit the format's limits.
bool build_help_file(const THelpSource& source, std::vector<uint8_t>& image, std::string& error);

// Builds the contents (.cnt) text for the help file named base_name.
std::string build_contents_file(const THelpSource& source, const std::string& base_name);
