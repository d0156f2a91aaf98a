// A process-wide receiver for the component's log lines, beside the log file
// (set through dz_set_log_handler).
#pragma once

#include <string_view>

namespace dz::logsink {

using Handler = void (*)(int level, const char* line, void* context);

// Replaces the receiver (nullptr: none). Returns false, changing nothing, when
// called from inside the receiver. After it returns no call to the old
// receiver is in progress.
bool set(Handler handler, void* context);

// Hands one line to the receiver, if any, on the calling thread.
void forward(int level, std::string_view line);

}  // namespace dz::logsink
