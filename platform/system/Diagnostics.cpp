#include "platform/system/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

struct SinkState {
    std::mutex lock;
    DiagnosticSink sink;
};

SinkState& state() {
    static SinkState* s = new SinkState;  // outlives static destruction: back ends report at exit
    return *s;
}

}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    SinkState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sink = std::move(sink);
}

void diagnostic(const char* format, ...) {
    char raw[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(raw, sizeof raw, format ? format : "", args);
    va_end(args);
    if (n < 0) raw[0] = '\0';
    std::size_t length = std::strlen(raw);
    char line[1024];
    copyUtf8Cut(line, sizeof line, std::string_view(raw, length), sizeof line - 1);

    SinkState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.sink) {
        s.sink(line);
    } else {
        std::fprintf(stderr, "kestro: %s\n", line);
    }
}

}  // namespace kestro::platform
