// Message capture: libxml2 keeps its error handlers per thread, so every call
// that parses, validates, evaluates or transforms installs a collector for its
// own duration (Capture) and restores the previous handlers afterwards:
// nothing is printed and concurrent threads never see each other's messages.
// libxslt's generic handler is a process global, set once to a dispatcher
// that forwards to the calling thread's collector.
#include <cstdarg>
#include <cstdio>

#include "platform/xml/internal.h"

namespace dz::xml {

thread_local Messages* currentMessages = nullptr;

void structuredHandler(void* ctx, xmlErrorPtr err) {
    if (ctx != nullptr) static_cast<Messages*>(ctx)->addStructured(err);
}

namespace {

std::string vformat(const char* fmt, va_list args) {
    char buf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

}  // namespace

void genericHandler(void* ctx, const char* fmt, ...) {
    if (ctx == nullptr || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    static_cast<Messages*>(ctx)->addText(text);
}

// libxslt's process-wide handler: forwards to the calling thread's collector,
// drops the text when the thread has none.
void xsltDispatchHandler(void*, const char* fmt, ...) {
    Messages* sink = currentMessages;
    if (sink == nullptr || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    sink->addText(text);
}

void silentHandler(void*, const char*, ...) {}


}  // namespace dz::xml
