// The payload's sizes and CRC-32s as this program carries them. The table is
// linked in with zeros behind a marker; once the payload is built, the build
// writes the real values into the linked program in place (the program's
// size does not change, and the chime, which fills the payload to its fixed
// total, is made from that size). The reads go through volatile so that the
// compiler cannot fold the zeros it sees here.
#include "product/remove/remove.h"

namespace {

struct TPayloadChecks {
  char Marker[16];
  uint32_t Count;
  TPayloadCheck Entries[kInstalledFileCount];
};

// The marker is what stamp_payload_checks.py looks for; it must occur once.
const volatile TPayloadChecks PayloadChecks = {"VLPayloadChecks", kInstalledFileCount, {}};

}  // namespace

TPayloadCheck PayloadCheck(size_t index) {
  if (index >= kInstalledFileCount || PayloadChecks.Count != kInstalledFileCount) return {0, 0};
  return {PayloadChecks.Entries[index].Size, PayloadChecks.Entries[index].Crc};
}
