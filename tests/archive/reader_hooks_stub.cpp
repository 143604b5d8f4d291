// The two things the reader needs from the extraction driver: the run's
// result code and the error-message hook. The reader's tests link only the
// reader's own files, so that they do not depend on the decompressor.
#include "archive/arc_extract.h"

int32_t extract_result = 0;
TMessageHook OnErrorMessage;

void report_error(const std::string& text) {
  if (OnErrorMessage.code != nullptr) OnErrorMessage.code(OnErrorMessage.object, text);
}
