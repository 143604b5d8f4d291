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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/support/archive_builder.h"
#include "tests/support/program_path.h"
#include "tests/tools/compressed_file.h"
#include "tests/tools/temp_dir.h"
#include "pack/archive_writer.h"

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
  // Under Wine a process start now and then fails inside Wine itself
  // (error 1359) when the machine is busy; the program never ran, so
  // starting it again changes nothing the test looks at.
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(500);
    started = out_file != INVALID_HANDLE_VALUE && err_file != INVALID_HANDLE_VALUE &&
              CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (started) {
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

using Names = std::vector<std::string>;

// Everything under a folder, as relative paths with '/', folders ending in
// '/', sorted; links are listed, not entered.
Names tree(const std::string& folder) {
  namespace fs = std::filesystem;
  Names out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), folder, ec).generic_string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) rel += '/';
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

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

TEST(Vlarc, ExtractsIntoFoldersStampedAndReplacesOnlyWithO) {
  TempDir tmp("extract");
  SampleArchive a;
  ASSERT_TRUE(tooltest::write_file(tmp.file("sample.arc"), a.bytes));
  const std::string out = tmp.file("out");
  ASSERT_TRUE(std::filesystem::create_directories(out + "/docs"));
  const auto older = bytes("an older, different file that is longer than 16");
  ASSERT_TRUE(tooltest::write_file(out + "/big.txt", older));
  ASSERT_TRUE(tooltest::write_file(out + "/docs/readme.txt", older));

  // Existing files are kept and reported; the run says so in its status.
  ToolResult r = run_vlarc(tmp, {"x", tmp.file("sample.arc"), out});
  EXPECT_EQ(r.status, 11) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "big.txt: not written: the target exists")) << r.out;
  EXPECT_EQ(tooltest::read_file(out + "/big.txt"), older);
  EXPECT_EQ(tooltest::read_file(out + "/docs/readme.txt"), older);

  r = run_vlarc(tmp, {"x", "-o", tmp.file("sample.arc"), out});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tooltest::read_file(out + "/docs/readme.txt"), bytes("Read me first.\r\n"));
  EXPECT_EQ(tooltest::read_file(out + "/big.txt"), a.text);
  EXPECT_EQ(tooltest::mtime_of(out + "/docs/readme.txt"), tooltest::release_time());
  EXPECT_EQ(tooltest::mtime_of(out + "/big.txt"), tooltest::release_time());
  EXPECT_EQ(tree(out), (Names{"big.txt", "docs/", "docs/readme.txt"}));

  // A damaged entry writes nothing; the others are written; the code is 3.
  SampleArchive damaged(true);
  ASSERT_TRUE(tooltest::write_file(tmp.file("damaged.arc"), damaged.bytes));
  const std::string out2 = tmp.file("out2");
  const ToolResult r2 = run_vlarc(tmp, {"x", tmp.file("damaged.arc"), out2});
  EXPECT_EQ(r2.status, 3) << r2.out << r2.err;
  EXPECT_EQ(tree(out2), (Names{"big.txt", "docs/"}));
  EXPECT_EQ(tooltest::read_file(out2 + "/big.txt"), a.text);

  // -e drops the folders.
  const ToolResult r3 = run_vlarc(tmp, {"x", "-e", tmp.file("sample.arc"), tmp.file("flat")});
  EXPECT_EQ(r3.status, 0) << r3.out << r3.err;
  EXPECT_EQ(tree(tmp.file("flat")), (Names{"big.txt", "readme.txt"}));
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
  EXPECT_EQ(tooltest::read_file(tmp.file("out/sub/two.txt")), files[1].data);
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
  // The archived names hold the scratch folder's path: -e leaves it out.
  const ToolResult r = run_vlarc(tmp, {"x", "-e", tmp.file("new.arc"), tmp.file("out")});
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
           {}, {"q", "a.arc"}, {"l"}, {"t", "a.arc", "extra"}, {"x", "a.arc"}, {"x", "-q", "a.arc", "d"}}) {
    const ToolResult r = run_vlarc(tmp, args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "usage:")) << r.err;
  }
}

// An existing file survives every failed entry aimed at it; entries of one
// run that meet at one file do not overwrite each other without -o.
TEST(Vlarc, ExistingFilesSurviveDamagedShortAndCollidingEntries) {
  TempDir tmp("survive");
  const std::string out = tmp.file("out");
  ASSERT_TRUE(std::filesystem::create_directory(out));
  const auto precious = bytes("precious");
  ASSERT_TRUE(tooltest::write_file(out + "/victim.txt", precious));

  FileSpec damaged = stored_file("victim.txt", "replacement text");
  damaged.packed[3] ^= 0x20;
  // Decodes to 5 bytes where the header claims 10; its CRC is that of the 5.
  FileSpec short_entry = stored_file("short.txt", "12345");
  short_entry.unp_size = 10;
  ArchiveBuilder b;
  b.marker().main_header().file(damaged).file(short_entry);
  ASSERT_TRUE(tooltest::write_file(tmp.file("bad.arc"), b.bytes()));

  for (const char* option : {"-o", "--"}) {
    SCOPED_TRACE(option);
    const ToolResult r = run_vlarc(tmp, {"x", option, tmp.file("bad.arc"), out});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "short.txt: size mismatch: 5 of 10 bytes")) << r.out;
    EXPECT_EQ(tooltest::read_file(out + "/victim.txt"), precious);
    EXPECT_EQ(tree(out), (Names{"victim.txt"}));  // no temporary file left
  }
  const ToolResult t = run_vlarc(tmp, {"t", tmp.file("bad.arc")});
  EXPECT_EQ(t.status, 3) << t.out;
  EXPECT_TRUE(contains(t.out, "victim.txt: CRC error")) << t.out;
  EXPECT_TRUE(contains(t.out, "short.txt: size mismatch")) << t.out;

  // Two entries of one name part: with folders both are kept; flat, the
  // second is refused and the first stays, also when the second is damaged.
  for (bool second_damaged : {false, true}) {
    SCOPED_TRACE(second_damaged);
    FileSpec second = stored_file("src/d2/a.txt", "second");
    if (second_damaged) second.packed[0] ^= 1;
    ArchiveBuilder c;
    c.marker().main_header().file(stored_file("src\\d1\\a.txt", "first")).file(second);
    ASSERT_TRUE(tooltest::write_file(tmp.file("two.arc"), c.bytes()));
    const std::string dirs = tmp.file(second_damaged ? "dirs-damaged" : "dirs");
    const ToolResult r = run_vlarc(tmp, {"x", tmp.file("two.arc"), dirs});
    EXPECT_EQ(r.status, second_damaged ? 3 : 0) << r.out;
    EXPECT_EQ(tooltest::read_file(dirs + "/src/d1/a.txt"), bytes("first"));
    EXPECT_EQ(tooltest::file_exists(dirs + "/src/d2/a.txt"), !second_damaged);
    const std::string flat = tmp.file(second_damaged ? "flat-damaged" : "flat");
    const ToolResult f = run_vlarc(tmp, {"x", "-e", tmp.file("two.arc"), flat});
    EXPECT_EQ(f.status, 11) << f.out;
    EXPECT_TRUE(contains(f.out, "src/d2/a.txt: not written")) << f.out;
    EXPECT_EQ(tree(flat), (Names{"a.txt"}));
    EXPECT_EQ(tooltest::read_file(flat + "/a.txt"), bytes("first"));
  }
}

// Names that would leave the folder or hide bytes are refused, shown
// escaped everywhere, and the run goes on.
TEST(Vlarc, HostileNamesAreRefusedAndShownEscaped) {
  TempDir tmp("names");
  const std::string nul_name("harmless.txt\0/.bashrc", 21);
  const std::vector<std::string> hostile = {"../up.txt",     "/abs.txt",     "C:\\drive.txt", "a\\..\\..\\up2.txt",
                                            nul_name,        "esc\x1b[2J.txt", "ok.txt: OK\nforged.txt"};
  ArchiveBuilder b;
  b.marker().main_header();
  for (const std::string& name : hostile) b.file(stored_file(name, "x"));
  b.file(stored_file("good.txt", "good"));
  ASSERT_TRUE(tooltest::write_file(tmp.file("hostile.arc"), b.bytes()));

  const std::string out = tmp.file("deep/out");
  ASSERT_TRUE(std::filesystem::create_directories(out));
  const ToolResult r = run_vlarc(tmp, {"x", tmp.file("hostile.arc"), out});
  EXPECT_EQ(r.status, 11) << r.out << r.err;
  EXPECT_EQ(tree(out), (Names{"good.txt"}));
  EXPECT_EQ(tree(tmp.path()), (Names{"deep/", "deep/out/", "deep/out/good.txt", "hostile.arc", "stderr.txt", "stdout.txt"}));
  EXPECT_TRUE(contains(r.out, "harmless.txt\\x00/.bashrc: not written: the name holds a NUL byte")) << r.out;
  EXPECT_TRUE(contains(r.out, "esc\\x1B[2J.txt: not written")) << r.out;
  EXPECT_TRUE(contains(r.out, "ok.txt: OK\\x0Aforged.txt: not written")) << r.out;
  EXPECT_TRUE(contains(r.err, "7 of 8 entries failed")) << r.err;
  for (const char* cmd : {"l", "t"}) {
    const ToolResult listed = run_vlarc(tmp, {cmd, tmp.file("hostile.arc")});
    EXPECT_EQ(listed.status, 0) << cmd;
    EXPECT_TRUE(contains(listed.out, "harmless.txt\\x00/.bashrc")) << listed.out;
    EXPECT_TRUE(contains(listed.out, "ok.txt: OK\\x0Aforged.txt")) << listed.out;
  }
  for (const ToolResult& any : {r, run_vlarc(tmp, {"l", tmp.file("hostile.arc")})}) {
    EXPECT_FALSE(contains(any.out, "\x1b")) << any.out;
    EXPECT_FALSE(contains(any.out, "\nforged")) << any.out;
  }

#ifdef _WIN32
  // Windows: devices, dropped trailing dots and blanks, and names that the
  // file system folds to one file.
  ArchiveBuilder w;
  w.marker().main_header();
  for (const char* name : {"NUL", "aux.txt", "COM1", "sub\\LPT1.log", "trail.", "blank "}) w.file(stored_file(name, "x"));
  w.file(stored_file("Report.txt", "first")).file(stored_file("REPORT.TXT", "second"));
  ASSERT_TRUE(tooltest::write_file(tmp.file("win.arc"), w.bytes()));
  const ToolResult rw = run_vlarc(tmp, {"x", tmp.file("win.arc"), tmp.file("win")});
  EXPECT_EQ(rw.status, 11) << rw.out;
  EXPECT_TRUE(contains(rw.out, "aux.txt: not written: the name is a Windows device name")) << rw.out;
  EXPECT_TRUE(contains(rw.out, "trail.: not written")) << rw.out;
  EXPECT_TRUE(contains(rw.out, "REPORT.TXT: not written")) << rw.out;
  EXPECT_EQ(tree(tmp.file("win")), (Names{"Report.txt"}));
  EXPECT_EQ(tooltest::read_file(tmp.file("win/Report.txt")), bytes("first"));
  const ToolResult ro = run_vlarc(tmp, {"x", "-o", tmp.file("win.arc"), tmp.file("win")});
  EXPECT_EQ(ro.status, 11) << ro.out;  // the devices are still refused
  EXPECT_EQ(tooltest::read_file(tmp.file("win/Report.txt")), bytes("second"));
#endif
}

TEST(Vlarc, SplitEntriesAndSelectionsAreReported) {
  TempDir tmp("split");
  FileSpec continued = stored_file("part2.bin", "tail");
  continued.flags |= 0x0001;
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("d1/a.txt", "a")).file(continued).file(stored_file("d2/b.txt", "b"));
  ASSERT_TRUE(tooltest::write_file(tmp.file("split.arc"), b.bytes()));
  const ToolResult l = run_vlarc(tmp, {"l", tmp.file("split.arc")});
  EXPECT_EQ(l.status, 0);
  EXPECT_TRUE(contains(l.out, "part2.bin")) << l.out;
  const ToolResult t = run_vlarc(tmp, {"t", tmp.file("split.arc")});
  EXPECT_EQ(t.status, 11) << t.out;
  EXPECT_TRUE(contains(t.out, "part2.bin: continued from a previous volume, not tested")) << t.out;
  const ToolResult x = run_vlarc(tmp, {"x", tmp.file("split.arc"), tmp.file("all")});
  EXPECT_EQ(x.status, 11) << x.out;
  EXPECT_TRUE(contains(x.out, "part2.bin: continued from a previous volume, not extracted")) << x.out;
  EXPECT_EQ(tree(tmp.file("all")), (Names{"d1/", "d1/a.txt", "d2/", "d2/b.txt"}));

  // NAME selects by archived name or pattern; the others are not mentioned.
  const ToolResult some = run_vlarc(tmp, {"x", tmp.file("split.arc"), tmp.file("some"), "d2\\*"});
  EXPECT_EQ(some.status, 0) << some.out << some.err;
  EXPECT_EQ(some.out, "d2/b.txt: OK\n");
  EXPECT_EQ(tree(tmp.file("some")), (Names{"d2/", "d2/b.txt"}));
  const ToolResult none = run_vlarc(tmp, {"x", tmp.file("split.arc"), tmp.file("none"), "d1/a.txt", "nothing*"});
  EXPECT_EQ(none.status, 11) << none.out;
  EXPECT_TRUE(contains(none.err, "no entry matches nothing*")) << none.err;
  EXPECT_EQ(tree(tmp.file("none")), (Names{"d1/", "d1/a.txt"}));
}

#ifndef _WIN32
// A link in the target folder is never followed, and something that is not
// a regular file is never opened (a FIFO would hang the run).
TEST(Vlarc, LinksAndSpecialFilesInTheWayAreNotFollowedOrOpened) {
  namespace fs = std::filesystem;
  TempDir tmp("links");
  const std::string out = tmp.file("out");
  const std::string outside = tmp.file("outside");
  ASSERT_TRUE(fs::create_directories(out));
  ASSERT_TRUE(fs::create_directories(outside));
  ASSERT_TRUE(tooltest::write_file(outside + "/file.txt", bytes("outside")));
  fs::create_directory_symlink(outside, out + "/linked");
  fs::create_symlink(outside + "/file.txt", out + "/file.txt");
  ASSERT_EQ(mkfifo((out + "/fifo.txt").c_str(), 0600), 0);
  ArchiveBuilder b;
  b.marker().main_header();
  for (const char* name : {"linked/file.txt", "linked/new.txt", "file.txt", "fifo.txt", "fifo.txt/inner.txt"})
    b.file(stored_file(name, "from the archive"));
  ASSERT_TRUE(tooltest::write_file(tmp.file("links.arc"), b.bytes()));
  const auto outside_time = tooltest::mtime_of(outside + "/file.txt");

  ToolResult r = run_vlarc(tmp, {"x", tmp.file("links.arc"), out});
  EXPECT_EQ(r.status, 11) << r.out;
  EXPECT_TRUE(contains(r.out, "linked/new.txt: not written: linked is a link, which is not followed")) << r.out;
  EXPECT_TRUE(contains(r.out, "fifo.txt: not written: the target exists and is not a regular file")) << r.out;
  EXPECT_TRUE(contains(r.out, "fifo.txt/inner.txt: not written: fifo.txt is not a folder")) << r.out;
  // -o replaces the link at file.txt by a file; what it pointed to is untouched.
  r = run_vlarc(tmp, {"x", "-o", tmp.file("links.arc"), out});
  EXPECT_EQ(r.status, 11) << r.out;
  EXPECT_TRUE(contains(r.out, "file.txt: OK")) << r.out;
  EXPECT_FALSE(fs::is_symlink(out + "/file.txt"));
  EXPECT_EQ(tooltest::read_file(out + "/file.txt"), bytes("from the archive"));
  EXPECT_TRUE(fs::is_fifo(out + "/fifo.txt"));
  EXPECT_EQ(tree(outside), (Names{"file.txt"}));
  EXPECT_EQ(tooltest::read_file(outside + "/file.txt"), bytes("outside"));
  EXPECT_EQ(tooltest::mtime_of(outside + "/file.txt"), outside_time);
}

// A disk that fills up (a small tmpfs, where this machine lets the test
// mount one) is a write error, not a CRC error, and harms nothing.
TEST(Vlarc, AFullDiskIsAWriteErrorAndHarmsNothing) {
  TempDir tmp("disk");
  const std::string out = tmp.file("small");
  ASSERT_TRUE(std::filesystem::create_directory(out));
  if (std::system(("mount -t tmpfs -o size=64k tmpfs " + quote(out) + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here; the full disk is covered by SafeOutput in process";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { std::system(("umount -l " + quote(path)).c_str()); }
  } unmount{out};
  ASSERT_TRUE(tooltest::write_file(out + "/victim.txt", bytes("precious")));
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("victim.txt", tooltest::noise(200000, 4)));
  ASSERT_TRUE(tooltest::write_file(tmp.file("big.arc"), b.bytes()));
  const ToolResult r = run_vlarc(tmp, {"x", "-o", tmp.file("big.arc"), out});
  EXPECT_EQ(r.status, 12) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "victim.txt: write error, not written: No space left on device")) << r.out;
  EXPECT_EQ(tooltest::read_file(out + "/victim.txt"), bytes("precious"));
  EXPECT_EQ(tree(out), (Names{"victim.txt"}));
}
#endif
