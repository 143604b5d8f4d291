// `vlarc a` end to end: the built vlarc program packs files and folders, its
// archives pass `vlarc t` and `x`, and bad input fails cleanly without
// leaving an archive (or a temporary file) behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include "tests/pack/pack_test_util.h"
#include "tests/support/program_path.h"
#include "tests/tools/temp_dir.h"

using namespace packtest;
using tooltest::quote;
using tooltest::vlarc_program;
namespace fs = std::filesystem;

namespace {

// A scratch folder that is also the current folder while it lives, so that
// names on the command line are relative.
class Scratch {
 public:
  Scratch() : dir_("pack") {
    std::error_code ec;
    old_ = fs::current_path(ec);
    fs::current_path(dir_.path(), ec);
  }
  ~Scratch() {
    std::error_code ec;
    fs::current_path(old_, ec);  // before the folder is removed
  }
  std::string path(const std::string& rel) const { return dir_.file(rel); }
  std::vector<std::string> names() const { return dir_.names(); }

 private:
  fs::path old_;
  tooltest::TempDir dir_;
};

void write_file(const std::string& path, const Bytes& data) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct ToolRun {
  int status = -1;
  std::string err;
};

ToolRun vlarc(const std::vector<std::string>& args) {
  std::string cmd = quote(vlarc_program());
  for (auto& a : args) cmd += " " + quote(a);
  // The outputs go to a folder of this run's own: test processes run side by
  // side and share the temporary folder, so a fixed or seeded name could be
  // overwritten or removed by another test's run.
  tooltest::TempDir outputs("pack-out");
  std::string err_file = outputs.file("stderr");
  cmd += " >" + quote(outputs.file("stdout")) + " 2>" + quote(err_file);
#ifdef _WIN32
  cmd = "\"" + cmd + "\"";
#endif
  ToolRun r;
  int rc = std::system(cmd.c_str());
#ifdef _WIN32
  r.status = rc;
#else
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
  Bytes e = read_file(err_file);
  r.err.assign(e.begin(), e.end());
  return r;
}

TEST(PackCli, PacksFoldersWithRelativeNamesAndPassesTestAndExtract) {
  Scratch s;
  Bytes text = text_data(50000, 70), bin = binary_data(40000, 71), wav = audio_data(30000, 1, 1, 72);
  write_file(s.path("src/readme.txt"), text);
  write_file(s.path("src/bin/tool.exe"), bin);
  write_file(s.path("src/bin/sounds/click.wav"), wav);
  write_file(s.path("src/empty.dat"), {});
  std::vector<std::string> folders = {"out.arc", "src"};
  for (const char* level : {"-m0", "-m3", "-m5"}) {
    for (bool solid : {false, true}) {
      std::vector<std::string> args = {"a", level};
      if (solid) args.push_back("-s");
      args.insert(args.end(), {"out.arc", "./src"});
      ToolRun r = vlarc(args);
      ASSERT_EQ(r.status, 0) << level << " " << r.err;
      Bytes archive = read_file(s.path("out.arc"));
      bool solid_flag = false;
      std::vector<Entry> entries;
      ASSERT_TRUE(read_archive(archive, 0, solid_flag, entries)) << level;
      EXPECT_EQ(solid_flag, solid);
      std::vector<std::string> names;
      for (auto& e : entries) names.push_back(e.name);
      EXPECT_EQ(names, (std::vector<std::string>{"src\\bin\\sounds\\click.wav", "src\\bin\\tool.exe",
                                                 "src\\empty.dat", "src\\readme.txt"}));
      for (auto& e : entries) {
        if (std::string(level) == "-m0") {
          EXPECT_EQ(e.h.method, kMethodStored);
        }
        EXPECT_NE(e.h.file_time, 0u);  // the files' own times
      }
      EXPECT_EQ(vlarc({"t", "out.arc"}).status, 0) << level;
      // Each run extracts into a folder of its own. Removing the last run's
      // files and extracting again at the same paths is a trap on Windows:
      // a deleted file that some handle still holds stays "delete pending",
      // and Wine then removes it by name when that handle closes, taking a
      // file re-created there with it (an empty entry went missing after a
      // successful run that way).
      const std::string x = std::string("x") + level + (solid ? "s" : "");
      folders.push_back(x);
      EXPECT_EQ(vlarc({"x", "out.arc", x}).status, 0) << level;
      EXPECT_TRUE(read_file(s.path(x + "/src/readme.txt")) == text) << level;
      EXPECT_TRUE(read_file(s.path(x + "/src/bin/tool.exe")) == bin) << level;
      EXPECT_TRUE(read_file(s.path(x + "/src/bin/sounds/click.wav")) == wav) << level;
      EXPECT_TRUE(fs::exists(s.path(x + "/src/empty.dat"))) << level;
    }
  }
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(s.names(), folders);  // no temporary left

  // Packing a folder that holds the archive itself leaves the old archive out
  // (found by identity, whatever its name's case).
  ASSERT_EQ(vlarc({"a", "src/self.arc", "src"}).status, 0);
  ASSERT_EQ(vlarc({"a", "src/self.arc", "src"}).status, 0);
  bool solid_flag = false;
  std::vector<Entry> entries;
  ASSERT_TRUE(read_archive(read_file(s.path("src/self.arc")), 0, solid_flag, entries));
  EXPECT_EQ(entries.size(), 4u);
}

TEST(PackCli, SelfExtractorStubWithinTheScanWindow) {
  Scratch s;
  Bytes stub = noise_data(5000, 80);
  for (auto& b : stub) b &= 0x3F;  // no marker byte inside
  write_file(s.path("stub.bin"), stub);
  Bytes text = text_data(20000, 81);
  write_file(s.path("a.txt"), text);
  ASSERT_EQ(vlarc({"a", "--sfx", "stub.bin", "sfx.exe", "a.txt"}).status, 0);
  Bytes whole = read_file(s.path("sfx.exe"));
  ASSERT_GT(whole.size(), stub.size());
  EXPECT_TRUE(Bytes(whole.begin(), whole.begin() + 5000) == stub);
  std::map<std::string, Bytes> out;
  EXPECT_EQ(driver_extract(whole, out), 0);
  EXPECT_TRUE(out["a.txt"] == text);

  // A stub the scan would not see past, one too short to be skipped, and
  // one with a marker of its own (the reader would stop there) are refused.
  write_file(s.path("big.bin"), Bytes(200000, 1));
  write_file(s.path("tiny.bin"), Bytes(3, 1));
  Bytes marked = stub;
  const uint8_t marker[7] = {0x72, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  std::copy(marker, marker + 7, marked.begin() + 1000);
  write_file(s.path("marked.bin"), marked);
  for (const char* bad : {"big.bin", "tiny.bin", "marked.bin"}) {
    ToolRun r = vlarc({"a", "--sfx", bad, "bad.exe", "a.txt"});
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_FALSE(r.err.empty()) << bad;
    EXPECT_FALSE(fs::exists(s.path("bad.exe"))) << bad;
  }
}

TEST(PackCli, BadInputFailsAndLeavesNothingBehind) {
  Scratch s;
  write_file(s.path("good.txt"), text_data(1000, 90));
  write_file(s.path("keep.arc"), {'o', 'l', 'd'});
  std::string long_dir(120, 'd');
  write_file(s.path(long_dir + "/" + long_dir + "/" + std::string(30, 'n') + ".txt"), {'x'});
  struct Case {
    std::vector<std::string> args;
    const char* what;
  } cases[] = {
      {{"a", "new.arc", "good.txt", "missing.txt"}, "missing file"},
      {{"a", "keep.arc", "good.txt", "missing.txt"}, "missing file over an existing archive"},
      {{"a", "new.arc", long_dir}, "name longer than a path may be"},
      {{"a", "new.arc", "../good.txt"}, "name climbing out of the folder"},
      {{"a", "-m9", "new.arc", "good.txt"}, "unknown level"},
      {{"a", "new.arc"}, "no files"},
  };
  for (const Case& c : cases) {
    ToolRun r = vlarc(c.args);
    EXPECT_NE(r.status, 0) << c.what;
    EXPECT_FALSE(r.err.empty()) << c.what;
    EXPECT_FALSE(fs::exists(s.path("new.arc"))) << c.what;
  }
  EXPECT_TRUE(read_file(s.path("keep.arc")) == (Bytes{'o', 'l', 'd'}));
#ifndef _WIN32
  // A file over 2 GiB (sparse, so cheap) is refused before it is read.
  {
    FILE* f = std::fopen(s.path("huge.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), (int64_t{1} << 31) + 10), 0);
    std::fclose(f);
    ToolRun r = vlarc({"a", "new.arc", "huge.bin"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("2 GiB"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(s.path("new.arc")));
    std::remove(s.path("huge.bin").c_str());
  }
  // A folder that links back to itself.
  fs::create_directories(s.path("loop/inner"));
  std::error_code ec;
  fs::create_directory_symlink("..", s.path("loop/inner/up"), ec);
  if (!ec) {
    ToolRun r = vlarc({"a", "new.arc", "loop"});
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(fs::exists(s.path("new.arc")));
  }
  // An unreadable file.
  write_file(s.path("locked.txt"), {'x'});
  fs::permissions(s.path("locked.txt"), fs::perms::none);
  FILE* probe = std::fopen(s.path("locked.txt").c_str(), "rb");  // root reads anything
  if (probe) {
    std::fclose(probe);
  } else {
    EXPECT_NE(vlarc({"a", "new.arc", "good.txt", "locked.txt"}).status, 0);
    EXPECT_FALSE(fs::exists(s.path("new.arc")));
  }
  fs::permissions(s.path("locked.txt"), fs::perms::owner_all);
#endif
  std::vector<std::string> left = s.names();
  for (auto& n : left) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

#ifndef _WIN32
// The shell command that runs vlarc with args, limited by the shell
// commands in limits.
ToolRun vlarc_limited(const std::string& program, const std::string& limits, const std::vector<std::string>& args) {
  std::string cmd = limits + "; exec " + quote(program);
  for (auto& a : args) cmd += " " + quote(a);
  tooltest::TempDir outputs("pack-out");
  std::string err_file = outputs.file("stderr");
  cmd = "sh -c " + quote(cmd) + " 2>" + quote(err_file);
  ToolRun r;
  int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  Bytes e = read_file(err_file);
  r.err.assign(e.begin(), e.end());
  return r;
}
#endif

TEST(PackCli, TheArchiveIsNeverOneOfItsInputs) {
  Scratch s;
  write_file(s.path("a.txt"), text_data(3000, 91));
  ASSERT_EQ(vlarc({"a", "keep.arc", "a.txt"}).status, 0);
  Bytes before = read_file(s.path("keep.arc"));
  std::vector<std::vector<std::string>> runs = {{"a", "keep.arc", "keep.arc"}, {"a", "keep.arc", "a.txt", "./keep.arc"}};
#ifdef _WIN32
  runs.push_back({"a", "KEEP.ARC", "keep.arc"});  // one file, two spellings
#else
  std::error_code ec;
  fs::create_hard_link(s.path("keep.arc"), s.path("other.arc"), ec);
  ASSERT_FALSE(ec);
  runs.push_back({"a", "keep.arc", "other.arc"});  // one file, two names
#endif
  for (auto& args : runs) {
    ToolRun r = vlarc(args);
    EXPECT_NE(r.status, 0) << args[2];
    EXPECT_NE(r.err.find("archive being written"), std::string::npos) << r.err;
    EXPECT_TRUE(read_file(s.path("keep.arc")) == before) << args[2];
  }
  for (auto& n : s.names()) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

#ifndef _WIN32
TEST(PackCli, OnlyFilesAndFoldersUnderNamesExtractionGivesBack) {
  Scratch s;
  Bytes text = text_data(2000, 92);
  write_file(s.path("in/good.txt"), text);
  ASSERT_EQ(mkfifo(s.path("in/pipe").c_str(), 0600), 0);
  // A FIFO is reported and left out without being opened; so is a device.
  ToolRun r = vlarc({"a", "out.arc", "in", "/dev/zero"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pipe"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/dev/zero"), std::string::npos) << r.err;
  std::map<std::string, Bytes> out;
  EXPECT_EQ(driver_extract(read_file(s.path("out.arc")), out), 0);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_TRUE(out["in\\good.txt"] == text);

  // Names that extraction would split or not give back are refused, and
  // shown without their control characters.
  for (const char* bad : {"back\\slash", "co:lon", "tab\tname", "bell\x07"}) {
    write_file(s.path(std::string("odd/") + bad), {'x'});
    ToolRun bad_run = vlarc({"a", "odd.arc", "odd"});
    EXPECT_NE(bad_run.status, 0) << bad;
    EXPECT_FALSE(fs::exists(s.path("odd.arc"))) << bad;
    for (char c : bad_run.err) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << bad;
    fs::remove_all(s.path("odd"));
  }
}

TEST(PackCli, ArchiveModes) {
  Scratch s;
  write_file(s.path("a.txt"), text_data(2000, 93));
  mode_t old_mask = umask(027);
  ASSERT_EQ(vlarc({"a", "new.arc", "a.txt"}).status, 0);
  umask(old_mask);
  struct stat sb;
  ASSERT_EQ(stat(s.path("new.arc").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 07777, 0640u);
  ASSERT_EQ(chmod(s.path("new.arc").c_str(), 0604), 0);
  ASSERT_EQ(vlarc({"a", "-m5", "new.arc", "a.txt"}).status, 0);
  ASSERT_EQ(stat(s.path("new.arc").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 07777, 0604u);
}

TEST(PackCli, OutOfMemoryOrDiskLeavesNothingBehind) {
  Scratch s;
  write_file(s.path("big.bin"), binary_data(3 << 20, 94));
  write_file(s.path("keep.arc"), {'o', 'l', 'd'});
  // Out of disk: writes past a file size limit fail (the signal is ignored).
  ToolRun disk = vlarc_limited(vlarc_program(), "trap '' XFSZ; ulimit -f 200", {"a", "-m1", "new.arc", "big.bin"});
  EXPECT_EQ(disk.status, 1);
  EXPECT_NE(disk.err.find("cannot write"), std::string::npos) << disk.err;
  // Out of memory: the address space is limited below what the encoder
  // needs. A sanitised program reserves far more than that at start, so
  // this runs the host's plain build when the tests are sanitised.
  std::string program = vlarc_program();
#if defined(__SANITIZE_ADDRESS__)
  program = VELMORA_HOST_VLARC;
  if (!fs::exists(program)) GTEST_SKIP() << "no unsanitised vlarc at " << program;
#endif
  ToolRun memory = vlarc_limited(program, "ulimit -v 12000", {"a", "-m5", "keep.arc", "big.bin"});
  EXPECT_EQ(memory.status, 1);
  EXPECT_NE(memory.err.find("out of memory"), std::string::npos) << memory.err;
  EXPECT_TRUE(read_file(s.path("keep.arc")) == (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(s.names(), (std::vector<std::string>{"big.bin", "keep.arc"}));
}
#endif

}  // namespace
