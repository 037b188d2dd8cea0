#include "platform/system/Diagnostics.h"

#include <cstdarg>
#include <cstdio>

#include "platform/system/Seam.h"
#include "platform/system/Text.h"

namespace kestro::platform {

namespace {

class StandardError : public DiagnosticSink {
public:
    void report(const char* line) override { std::fprintf(stderr, "kestro: %s\n", line); }
};

using SinkSeam = Seam<DiagnosticSink, SeamCallers::AnyThread>;

SinkSeam& sink() {
    static SinkSeam* seam = new SinkSeam{SeamDefault<StandardError>{}};  // outlives static destruction: back ends report at exit
    return *seam;
}

}  // namespace

void setDiagnosticSink(std::shared_ptr<DiagnosticSink> implementation) { sink().install(std::move(implementation)); }

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
    sink().call([&](DiagnosticSink& s) { s.report(line); });
}

}  // namespace kestro::platform
