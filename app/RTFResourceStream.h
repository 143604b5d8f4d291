// Streams an RTF resource of the program into a RichEdit control: select the
// resource once, then hand RtfStreamCallback to EM_STREAMIN. The bytes are
// read straight from the mapped resource, never copied as a whole.
#pragma once

#include <windows.h>

// Makes RTF resource `id` of the program the one to stream and rewinds it.
// Selecting the id that is already selected only rewinds. False when the
// resource cannot be found or loaded; the stream is then empty.
bool SelectRtfResource(int id);

// EDITSTREAMCALLBACK: delivers the next bytes of the selected resource, at
// most `wanted`; 0 bytes once the end is reached. Always returns 0.
DWORD CALLBACK RtfStreamCallback(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* delivered);
