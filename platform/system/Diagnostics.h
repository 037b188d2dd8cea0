// One line of diagnostics from the platform back ends (the audio engine's
// output choice, a back end that cannot start, a stream that fails) to
// whoever wants it (the host writes them to its transcript and log).
//
// A seam (installed as platform/system/Seam.h says, called from any
// thread): setDiagnosticSink. The default writes each line to standard
// error.
#pragma once

#include <memory>

namespace kestro::platform {

// Where the lines go. Its contract:
//   - Threads: report() runs on whatever thread has something to say (the
//     script thread, a back end's thread, libmpv's threads, the capture's
//     writer, static destruction at exit), one call at a time: the seam's
//     lock is held during the call, so report() must not call diagnostic().
//   - Blocking: it must return at once (the host only queues the line): a
//     back end's thread waits for it.
//   - Ownership: `line` is valid during the call only; at most 1023 bytes,
//     cut at a UTF-8 boundary.
//   - Lifetime: the seam owns the sink; back ends report until they are
//     destroyed, so put the default back (null) before whatever a sink uses
//     goes away. When the setter returns, the replaced sink is not running.
class DiagnosticSink {
public:
    virtual ~DiagnosticSink() = default;
    virtual void report(const char* line) = 0;
};

// Null: standard error.
void setDiagnosticSink(std::shared_ptr<DiagnosticSink> sink);

// Formats one line (printf-style) and passes it to the sink. Safe from any
// thread.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestro::platform
