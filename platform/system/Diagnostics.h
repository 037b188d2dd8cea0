// One line of diagnostics from the platform back ends (the audio engine's
// output choice, a back end that cannot start, a stream that fails) to
// whoever listens: the host writes it to its transcript and its log. Without
// a sink the lines go to standard error.
#pragma once

#include <functional>

namespace kestro::platform {

using DiagnosticSink = std::function<void(const char* line)>;

// Installs the sink used from now on (an empty one: standard error).
void setDiagnosticSink(DiagnosticSink sink);

// Formats one line (printf-style, cut to 1023 bytes at a UTF-8 boundary)
// and passes it to the sink. Safe from any thread; the sink is called with
// a lock held, so it must not call diagnostic() itself.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestro::platform
