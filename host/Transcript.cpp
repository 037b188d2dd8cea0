#include "host/Transcript.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "host/GameWorld.h"

namespace kestro::host {

void Transcript::event(const char* kind, const char* format, ...) {
    char details[kMaxLine];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(details, sizeof details, format ? format : "", args);
    va_end(args);
    if (n < 0) details[0] = '\0';
    write(kind, details);
}

void Transcript::text(const char* kind, const std::string& details) { write(kind, details.c_str()); }

void Transcript::write(const char* kind, const char* details) {
    if (out_ == nullptr && !sink_) return;
    char line[kMaxLine];
    int n = std::snprintf(line, sizeof line, "%u %llu %s%s%s", world_.gameTime(),
                          static_cast<unsigned long long>(world_.tickNumber()), kind ? kind : "?",
                          (details && *details) ? " " : "", details ? details : "");
    if (n < 0) return;
    for (char* p = line; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    if (out_ && !failed_) {
        if (std::fputs(line, out_) == EOF || std::fputc('\n', out_) == EOF) fail();
    }
    if (sink_) sink_(line);
}

void Transcript::flush() {
    if (out_ && !failed_ && (std::fflush(out_) == EOF || std::ferror(out_))) fail();
}

void Transcript::fail() {
    if (!failed_) errorNumber_ = errno != 0 ? errno : EIO;
    failed_ = true;
}

}  // namespace kestro::host
