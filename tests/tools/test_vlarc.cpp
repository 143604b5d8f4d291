// The vlarc program end to end: the built binary (next to this test program)
// run on archive files written into a scratch folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/support/archive_builder.h"
#include "tests/support/program_path.h"
#include "tests/tools/compressed_file.h"
#include "tests/tools/temp_dir.h"
#include "unpack/arc_pack.h"

using arctest::ArchiveBuilder;
using arctest::FileSpec;
using arctest::stored_file;
using tooltest::TempDir;
using tooltest::compressed_file;
using tooltest::quote;
using tooltest::vlarc_program;

namespace {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs vlarc with args, capturing both output streams in files of `scratch`.
ToolResult run_vlarc(const TempDir& scratch, const std::vector<std::string>& args) {
  const std::string out = scratch.file("stdout.txt");
  const std::string err = scratch.file("stderr.txt");
  ToolResult r;
  std::string start_error;
#ifdef _WIN32
  // Started directly, without a command interpreter in between.
  std::string cmd = quote(vlarc_program());
  for (const auto& a : args) cmd += " " + quote(a);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err_file = CreateFileA(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out_file;
  si.hStdError = err_file;
  PROCESS_INFORMATION pi = {};
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  if (out_file != INVALID_HANDLE_VALUE && err_file != INVALID_HANDLE_VALUE &&
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    start_error = "vlarc not started, error " + std::to_string(GetLastError());
  }
  if (out_file != INVALID_HANDLE_VALUE) CloseHandle(out_file);
  if (err_file != INVALID_HANDLE_VALUE) CloseHandle(err_file);
#else
  std::string cmd = quote(vlarc_program());
  for (const auto& a : args) cmd += " " + quote(a);
  cmd += " >" + quote(out) + " 2>" + quote(err);
  const int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
  // Windows text mode ends lines with CR LF; compare lines alike everywhere.
  for (auto* text : {&r.out, &r.err}) {
    *text = tooltest::read_text(text == &r.out ? out : err);
    text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
  }
  r.err += start_error;
  return r;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A small archive of every kind of entry the tool lists: a stored file in a
// folder, the folder's own entry, a compressed file.
struct SampleArchive {
  std::vector<uint8_t> text = tooltest::sample_text(40000, 7);
  std::vector<uint8_t> bytes;
  uint32_t packed_size = 0;
  SampleArchive(bool damage_stored = false) {
    FileSpec dir;
    dir.name = "docs";
    dir.attr = 0x10;
    FileSpec readme = stored_file("docs\\readme.txt", "Read me first.\r\n");
    if (damage_stored) readme.packed[0] ^= 1;
    FileSpec big = compressed_file("big.txt", text);
    packed_size = static_cast<uint32_t>(big.packed.size());
    ArchiveBuilder b;
    b.marker().main_header().file(dir).file(readme).file(big);
    bytes = b.bytes();
  }
};

}  // namespace

TEST(Vlarc, ListsEveryEntryWithItsFieldsAndATotal) {
  TempDir tmp("list");
  SampleArchive a;
  ASSERT_TRUE(tooltest::write_file(tmp.file("sample.arc"), a.bytes));
  const ToolResult r = run_vlarc(tmp, {"l", tmp.file("sample.arc")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "docs\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "16 ")) << r.out;  // readme's size
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08X", arctest::crc32(a.text));
  EXPECT_TRUE(contains(r.out, crc)) << r.out;
  EXPECT_TRUE(contains(r.out, "stored")) << r.out;
  EXPECT_TRUE(contains(r.out, " m5 ")) << r.out;
  EXPECT_TRUE(contains(r.out, " D ")) << r.out;
  EXPECT_TRUE(contains(r.out, "docs\\readme.txt")) << r.out;
  char total[64];
  std::snprintf(total, sizeof total, "%10u %10u", 40000u + 16u, 16u + a.packed_size);
  EXPECT_TRUE(contains(r.out, total)) << r.out;
  EXPECT_TRUE(contains(r.out, "3 entries")) << r.out;
  // Listing decodes nothing: a damaged entry lists like a sound one.
  SampleArchive damaged(true);
  ASSERT_TRUE(tooltest::write_file(tmp.file("damaged.arc"), damaged.bytes));
  EXPECT_EQ(run_vlarc(tmp, {"l", tmp.file("damaged.arc")}).status, 0);
}

TEST(Vlarc, TestChecksEveryEntryAndReportsTheRunsCode) {
  TempDir tmp("test");
  SampleArchive good;
  SampleArchive damaged(true);
  ASSERT_TRUE(tooltest::write_file(tmp.file("good.arc"), good.bytes));
  ASSERT_TRUE(tooltest::write_file(tmp.file("damaged.arc"), damaged.bytes));

  ToolResult r = run_vlarc(tmp, {"t", tmp.file("good.arc")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "docs\\readme.txt: OK")) << r.out;
  EXPECT_TRUE(contains(r.out, "big.txt: OK")) << r.out;

  r = run_vlarc(tmp, {"t", tmp.file("damaged.arc")});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "docs\\readme.txt: CRC error")) << r.out;
  EXPECT_TRUE(contains(r.out, "big.txt: OK")) << r.out;
  EXPECT_TRUE(contains(r.err, "1 of 3 entries failed")) << r.err;
  // Testing writes nothing anywhere near the archive.
  EXPECT_FALSE(tooltest::file_exists(tmp.file("readme.txt")));
  EXPECT_FALSE(tooltest::file_exists(tmp.file("big.txt")));

  // A damaged header ends the run with its own code.
  FileSpec broken = stored_file("second.txt", "2");
  broken.bad_crc = true;
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("first.txt", "1")).file(broken);
  ASSERT_TRUE(tooltest::write_file(tmp.file("broken.arc"), b.bytes()));
  r = run_vlarc(tmp, {"t", tmp.file("broken.arc")});
  EXPECT_EQ(r.status, 10) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "first.txt: OK")) << r.out;
  EXPECT_TRUE(contains(r.err, "damaged file header")) << r.err;
  EXPECT_EQ(run_vlarc(tmp, {"l", tmp.file("broken.arc")}).status, 10);
}

TEST(Vlarc, ExtractsByNamePartStampedAndOverwriting) {
  TempDir tmp("extract");
  SampleArchive a;
  ASSERT_TRUE(tooltest::write_file(tmp.file("sample.arc"), a.bytes));
  const std::string out = tmp.file("out");
  ASSERT_TRUE(std::filesystem::create_directory(out));
  ASSERT_TRUE(tooltest::write_file(out + "/big.txt", bytes("an older, different file that is longer than 16")));
  ASSERT_TRUE(tooltest::write_file(out + "/readme.txt", bytes("an older, different file that is longer than 16")));

  const ToolResult r = run_vlarc(tmp, {"x", tmp.file("sample.arc"), out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tooltest::read_file(out + "/readme.txt"), bytes("Read me first.\r\n"));
  EXPECT_EQ(tooltest::read_file(out + "/big.txt"), a.text);
  EXPECT_EQ(tooltest::mtime_of(out + "/readme.txt"), tooltest::release_time());
  EXPECT_EQ(tooltest::mtime_of(out + "/big.txt"), tooltest::release_time());
  // The folder part is dropped: no docs folder is made.
  EXPECT_FALSE(tooltest::file_exists(out + "/docs"));

  // A damaged entry is deleted; the others are written; the code is 3.
  SampleArchive damaged(true);
  ASSERT_TRUE(tooltest::write_file(tmp.file("damaged.arc"), damaged.bytes));
  const std::string out2 = tmp.file("out2");
  const ToolResult r2 = run_vlarc(tmp, {"x", tmp.file("damaged.arc"), out2});
  EXPECT_EQ(r2.status, 3) << r2.out << r2.err;
  EXPECT_FALSE(tooltest::file_exists(out2 + "/readme.txt"));
  EXPECT_EQ(tooltest::read_file(out2 + "/big.txt"), a.text);
}

TEST(Vlarc, ExtractsASolidArchive) {
  TempDir tmp("solid");
  std::vector<TPackFile> files(3);
  files[0].name = "one.txt";
  files[0].data = tooltest::sample_text(50000, 11);
  files[1].name = "sub\\two.txt";
  files[1].data = files[0].data;
  files[1].data.resize(30000);
  files[2].name = "three.bin";
  files[2].data = tooltest::noise(3000, 5);
  std::vector<uint8_t> archive;
  pack_archive(files, 5, true, archive);
  ASSERT_TRUE(tooltest::write_file(tmp.file("solid.arc"), archive));

  EXPECT_EQ(run_vlarc(tmp, {"t", tmp.file("solid.arc")}).status, 0);
  const ToolResult r = run_vlarc(tmp, {"x", tmp.file("solid.arc"), tmp.file("out")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tooltest::read_file(tmp.file("out/one.txt")), files[0].data);
  EXPECT_EQ(tooltest::read_file(tmp.file("out/two.txt")), files[1].data);
  EXPECT_EQ(tooltest::read_file(tmp.file("out/three.bin")), files[2].data);
}

TEST(Vlarc, ExtractsWhatItPacks) {
  TempDir tmp("roundtrip");
  const auto text = tooltest::sample_text(70000, 13);
  const auto noise = tooltest::noise(5000, 17);
  ASSERT_TRUE(tooltest::write_file(tmp.file("a.txt"), text));
  ASSERT_TRUE(tooltest::write_file(tmp.file("b.bin"), noise));
  const ToolResult packed = run_vlarc(tmp, {"a", "-s", tmp.file("new.arc"), tmp.file("a.txt"), tmp.file("b.bin")});
  ASSERT_EQ(packed.status, 0) << packed.err;
  const ToolResult r = run_vlarc(tmp, {"x", tmp.file("new.arc"), tmp.file("out")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tooltest::read_file(tmp.file("out/a.txt")), text);
  EXPECT_EQ(tooltest::read_file(tmp.file("out/b.bin")), noise);
}

TEST(Vlarc, BadInputGivesAMessageAndAStatus) {
  TempDir tmp("bad");
  ASSERT_TRUE(tooltest::write_file(tmp.file("notes.txt"), bytes("plain text, no archive in here at all")));
  for (const char* cmd : {"l", "t", "x"}) {
    SCOPED_TRACE(cmd);
    std::vector<std::string> args = {cmd, tmp.file("notes.txt")};
    if (std::string(cmd) == "x") args.push_back(tmp.file("out"));
    ToolResult r = run_vlarc(tmp, args);
    EXPECT_EQ(r.status, 9) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "is not an archive")) << r.err;

    args[1] = tmp.file("no-such-file.arc");
    r = run_vlarc(tmp, args);
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "cannot open")) << r.err;
  }
  // Usage errors.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"q", "a.arc"}, {"l"}, {"t", "a.arc", "extra"}, {"x", "a.arc"}}) {
    const ToolResult r = run_vlarc(tmp, args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "usage:")) << r.err;
  }
}
