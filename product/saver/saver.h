// Velmora.scr: the screen saver. Shared declarations of its three modules:
// command line and settings (saver_settings), the picture (saver_art) and
// the windows (saver_main).
#pragma once

#include <cstdint>

#include <windows.h>

// ---- Command line ---------------------------------------------------------

enum TSaverMode {
  SaverConfig,      // "/c", "/c:HWND" or nothing: the settings dialog
  SaverFullScreen,  // "/s": run on every monitor
  SaverPreview,     // "/p HWND" or "/p:HWND": draw inside the given window
  SaverPassword,    // "/a": password change, which Velmora does not offer
};

struct TSaverCommand {
  TSaverMode Mode = SaverConfig;
  uintptr_t Window = 0;  // the parent window given with the switch, 0 if none
};

// Parses the arguments (the command line without the program name). Accepts
// "/" or "-", either case, and the window number after a blank or a colon.
// A preview without a window number is returned as SaverConfig.
TSaverCommand ParseSaverCommand(const char* args);

// ---- Settings, kept per user under HKCU\Software\Tarvik\Velmora ------------

struct TSaverSettings {
  int Speed = 5;      // 1 (calm) .. 10 (lively)
  int Ribbons = 4;    // 1 .. 8
  bool Sound = true;  // play Velmora.wav while running
};

extern const char* const SaverSettingsKey;  // "Software\Tarvik\Velmora"

// Missing or out-of-range values give the defaults.
TSaverSettings LoadSaverSettings();
bool SaveSaverSettings(const TSaverSettings& settings);

// Runs the settings dialog; returns when it is closed. search_restricted:
// what RestrictDllSearch answered (the dialog's slider comes from the common
// controls library, loaded here rather than imported).
void RunSettingsDialog(HINSTANCE instance, HWND parent, bool search_restricted);

// The chime's full path from the App Paths entry of the screen saver
// ("Path" value + "\Velmora.wav"), or an empty string when it is not there.
bool FindChime(char* path, size_t size);

// ---- The picture ------------------------------------------------------------

const int MaxRibbons = 8;
const int TrailLength = 28;

struct TRibbonPoint {
  float X, Y;
};

struct TRibbon {
  // Each end follows its own slow curve; phases and rates differ per ribbon.
  float Rate[4];
  float Phase[4];
  float Hue;
  float HueRate;
  TRibbonPoint EndA[TrailLength];
  TRibbonPoint EndB[TrailLength];
  int Count;  // trail entries filled so far
};

struct TSaverScene {
  int Width = 0, Height = 0;
  int RibbonCount = 0;
  float Speed = 1.0f;
  double Time = 0;
  uint32_t Seed = 1;
  TRibbon Ribbons[MaxRibbons];
};

void SceneInit(TSaverScene& scene, const TSaverSettings& settings, int width, int height, uint32_t seed);
void SceneResize(TSaverScene& scene, int width, int height);
// Advances the animation by one frame.
void SceneStep(TSaverScene& scene);
// Draws the whole frame into dc (which covers width x height).
void SceneDraw(const TSaverScene& scene, HDC dc);

#include "product/saver/saver_res.h"
