// The multimedia predictor on the module state (the step itself is in
// arc_audio.h).

#include "unpack/arc_audio.h"

uint8_t decode_audio_byte(uint32_t delta) {
  TUnpackState& s = unpack_state;
  return audio_step(s.channels[s.current_channel], s.channel_delta, delta);
}

void audio_cycle_end(AudioChannelState& c, AudioPending& q) {
  audio_settle(c, q);
  q.due = 32;
  audio_detail::adapt(c);
}
