// The one record of the installation run: what the user chose in the wizard,
// what the registry said about an earlier installation, and what the two
// workers produced. Each field has a single writer (see the comments); the
// workers hand their results to the UI thread only through their completion
// messages, which are sent synchronously, so no lock is needed.
#pragma once

#include <string>

// The answer to the "same or newer file exists" question, asked at most once
// per run; it then holds for that file and every later one.
enum TOverwriteAnswer {
  NotAsked,
  OverwriteAll,
  KeepAll,
};

struct TInstallSettings {
  // Earlier installation, read from the product key at start.
  bool PreviousInstallFound = false;
  std::string PreviousInstallDir;   // "InstallDir"
  std::string PreviousShellFolder;  // "ShellFolder"

  // Destination page: the folder exactly as the user left it (may end in a
  // separator) and whether the earlier folder is offered again.
  std::string InstallDir;
  bool ReuseInstallDir = false;

  // Program-group page: full path of the group folder, whether the earlier
  // group still exists, and whether shortcuts are wanted at all.
  std::string ProgramGroupPath;
  bool PreviousGroupExists = false;
  bool CreateShortcuts = true;

  // Progress page: hand the screen saver to the Display control panel at the
  // end; the run is over (workers may be released).
  bool LaunchConfiguration = false;
  bool Finished = false;

  // File worker: InstallDir without its trailing separator, once created;
  // where the screen-saver file went (empty when the user kept the old one);
  // the overwrite answer of this run.
  std::string InstalledDir;
  std::string ScreenSaverPath;
  TOverwriteAnswer OverwriteAnswer = NotAsked;

  // Shortcut worker: the created group folder, and that folder relative to
  // the Start-menu Programs folder (what the registry remembers).
  std::string ProgramGroupFolder;
  std::string ShellFolder;
};

// The process's one instance, created with the initial values above.
extern TInstallSettings InstallSettings;
