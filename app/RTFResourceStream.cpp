// The licence text travels as resource RTF 101; the RichEdit control pulls it
// through RtfStreamCallback in chunks of its own choosing.
#include "app/RTFResourceStream.h"

#include <cstdint>
#include <cstring>

namespace {

// One selection at a time, for the whole run. The data pointer refers to the
// resource as the loader mapped it; it is never released.
struct TRtfSelection {
  bool HasId = false;
  int Id = 0;
  const BYTE* Data = nullptr;
  int32_t Size = 0;
  int32_t Position = 0;  // bytes already delivered, 0..Size
};

TRtfSelection Rtf;

}  // namespace

bool SelectRtfResource(int id) {
  if (Rtf.HasId && Rtf.Id == id) {
    Rtf.Position = 0;
    return true;
  }
  Rtf.Position = 0;
  Rtf.HasId = false;
  Rtf.Data = nullptr;
  Rtf.Size = 0;

  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), "RTF");
  if (info == nullptr) return false;
  DWORD size = SizeofResource(module, info);
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return false;
  Rtf.Data = static_cast<const BYTE*>(LockResource(loaded));
  Rtf.Size = static_cast<int32_t>(size);
  Rtf.Id = id;
  Rtf.HasId = true;
  return true;
}

DWORD CALLBACK RtfStreamCallback(DWORD_PTR /*cookie*/, LPBYTE buffer, LONG wanted, LONG* delivered) {
  LONG count = 0;
  if (Rtf.Data != nullptr && Rtf.Position < Rtf.Size && wanted > 0) {
    count = Rtf.Size - Rtf.Position;
    if (wanted < count) count = wanted;
    std::memcpy(buffer, Rtf.Data + Rtf.Position, static_cast<size_t>(count));
    Rtf.Position += count;
  }
  if (delivered != nullptr) *delivered = count;
  return 0;
}
