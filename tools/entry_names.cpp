#include "tools/entry_names.h"

#include <cstdint>
#include <cstdio>

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens these as devices, with any extension and in any case;
// trailing blanks before the extension do not change that.
bool is_device_name(const std::string& part) {
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = upper(c);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* d : kDevices) {
    if (base == d) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    // COM0 to COM9 and LPT0 to LPT9, and the superscript digits 1, 2, 3 of
    // the Western code page, which Windows counts as well.
    const unsigned char d = static_cast<unsigned char>(base[3]);
    return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  return false;
}

bool windows_refuses(char c) {
  switch (c) {
    case '<': case '>': case '"': case '|': case '?': case '*': case ':':
      return true;
    default:
      return false;
  }
}

std::string hex_byte(unsigned char b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", b);
  return buf;
}

// Length of the well-formed UTF-8 sequence at s[i] that is safe to show, or
// 0: overlong forms, surrogates, C1 controls and the bidirectional controls
// (which reorder what follows on the terminal) are not.
size_t safe_utf8_length(const std::string& s, size_t i) {
  const unsigned char b = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  if (cp >= 0x80 && cp <= 0x9F) return 0;
  if (cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) return 0;
  return n;
}

}  // namespace

bool split_entry_name(const std::string& name, bool windows_rules, std::vector<std::string>& parts,
                      std::string& reason) {
  parts.clear();
  for (char c : name) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b == 0) {
      reason = "the name holds a NUL byte";
      return false;
    }
    if (b < 0x20 || b == 0x7F) {
      reason = "the name holds a control character";
      return false;
    }
  }
  if (name.empty()) {
    reason = "the entry has no name";
    return false;
  }
  if (is_separator(name[0])) {
    reason = "the name is absolute";
    return false;
  }
  if (name.size() >= 2 && name[1] == ':' && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    reason = "the name starts with a drive";
    return false;
  }
  std::vector<std::string> found;
  std::string part;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !is_separator(name[i])) {
      part += name[i];
      continue;
    }
    if (part == "..") {
      reason = "the name climbs out of the folder with \"..\"";
      return false;
    }
    if (!part.empty() && part != ".") {
      if (windows_rules) {
        for (char c : part) {
          if (windows_refuses(c)) {
            reason = std::string("the name holds '") + c + "', which Windows does not allow";
            return false;
          }
        }
        if (part.back() == '.' || part.back() == ' ') {
          reason = "a part of the name ends in a dot or blank, which Windows drops";
          return false;
        }
        if (is_device_name(part)) {
          reason = "the name is a Windows device name";
          return false;
        }
      }
      found.push_back(part);
    }
    part.clear();
  }
  if (found.empty()) {
    reason = "the name has no file name";
    return false;
  }
  parts.swap(found);
  return true;
}

std::string shown(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b == '\\' && i + 1 < text.size() && text[i + 1] == 'x') {
      out += hex_byte(b);
      ++i;
    } else if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
      ++i;
    } else if (const size_t n = b >= 0x80 ? safe_utf8_length(text, i) : 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += hex_byte(b);
      ++i;
    }
  }
  return out;
}

bool name_matches(const std::string& pattern, const std::string& name) {
  // Greedy match with one backtrack point: the last '*' seen.
  size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  auto same = [](char a, char b) { return a == b || (is_separator(a) && is_separator(b)); };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && same(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string target_key(const std::vector<std::string>& parts, bool windows_rules) {
  std::string key;
  for (const std::string& part : parts) {
    key += '/';
    for (char c : part) key += windows_rules ? upper(c) : c;
  }
  return key;
}
