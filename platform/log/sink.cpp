#include "platform/log/sink.h"

#include <mutex>
#include <shared_mutex>
#include <string>

namespace dz::logsink {

namespace {

std::shared_mutex mutex;  // shared while a line is delivered, exclusive to replace
Handler current = nullptr;
void* currentContext = nullptr;
thread_local bool delivering = false;

}  // namespace

bool set(Handler handler, void* context) {
    if (delivering) return false;  // would wait for itself
    std::unique_lock lock(mutex);
    current = handler;
    currentContext = context;
    return true;
}

void forward(int level, std::string_view line) {
    if (delivering) return;  // a receiver that logs through the component is not fed its own lines
    std::shared_lock lock(mutex);
    if (!current) return;
    const std::string text(line);
    delivering = true;
    current(level, text.c_str(), currentContext);
    delivering = false;
}

}  // namespace dz::logsink
