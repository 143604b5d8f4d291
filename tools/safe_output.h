// The output of `vlarc x`: each entry is written to a new temporary file
// beside its target and moved onto the target only once the tool has seen
// that the entry is sound, so that nothing already on disk is truncated,
// deleted or written through.
//
// Folders under the extraction folder are walked part by part without
// following a link; a part that exists and is not a real folder stops the
// entry. The temporary file is created exclusively (never through a link),
// and the move replaces a link at the target rather than following it.
// A failed entry removes only its own temporary file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_class.h"

class TSafeOutput : public TOutputStream {
 public:
  TSafeOutput() = default;
  ~TSafeOutput() override;

  // Opens (after creating it when missing) the extraction folder.
  bool set_root(const std::string& folder, std::string& why);

  // Makes ready to write `leaf` in the folder `folders` (created where
  // missing) under the extraction folder. Refuses, with the reason, a
  // folder part that is a link or no folder, and a target that exists,
  // unless `overwrite` and it is a regular file or a link.
  bool prepare_file(const std::vector<std::string>& folders, const std::string& leaf, bool overwrite,
                    std::string& why);
  // Creates the folders `parts` under the extraction folder, with the same
  // rules, for a directory entry.
  bool make_folders(const std::vector<std::string>& parts, std::string& why);

  // The driver's calls. create makes the temporary file for the prepared
  // target (the path it is given is only shown); close and erase act on
  // that file alone.
  bool open(const char* name) override;
  bool create(const char* name) override;
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;
  int32_t read(void* buffer, int32_t count) override;
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override;
  int32_t size() override;
  void set_times() override;
  void erase() override;

  // Moves the finished temporary file onto the target: without `overwrite`
  // an existing target is kept (false, `exists` set).
  bool commit(bool overwrite, bool& exists, std::string& why);
  // Removes the temporary file if it is still there and forgets the entry.
  void discard();

  bool created() const { return created_; }
  bool erased() const { return erased_; }
  // The first write or close failure of the entry ("" when none).
  const std::string& write_error() const { return write_error_; }
  // Why create failed ("" when it did not).
  const std::string& create_error() const { return create_error_; }
  int64_t written() const { return written_; }

 protected:
  // Writes n bytes to the temporary file; the number written, or -1 with
  // the reason. Tests replace it to fail like a full disk.
  virtual int64_t raw_write(const void* data, size_t n, std::string& why);

 private:
  void close_folder();
  void reset_entry();
  bool walk(const std::vector<std::string>& parts, std::string& why);
  bool begin_create();
  std::string next_temp_name(unsigned long process);
  bool ready_to_commit(std::string& why);

#ifdef _WIN32
  std::string root_;       // with its trailing separator
  std::string folder_;     // the prepared folder, with its separator
  void* file_ = nullptr;   // HANDLE of the temporary file
#else
  int root_fd_ = -1;
  int folder_fd_ = -1;     // the prepared folder
  int fd_ = -1;            // the temporary file
#endif
  std::string leaf_;
  std::string temp_;       // the temporary file's name in the folder
  bool ready_ = false;
  bool created_ = false;
  bool erased_ = false;
  std::string write_error_;
  std::string create_error_;
  int64_t written_ = 0;
  unsigned temp_counter_ = 0;
};
