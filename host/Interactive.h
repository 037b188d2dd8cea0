// The interactive mode of kestro-host: on a terminal, without a scenario,
// the host runs the game in real time and draws its screen for a person,
// who drives the keyboard and the world from the terminal's keys.
// docs/interactive.md describes the keys and the screen.
#pragma once

#include <string>

#include "host/Host.h"

namespace kestro::host {

struct InteractiveOptions {
    HostOptions host;            // seed, tick length, draw tracing, log file
    std::string gameDir;         // absolute
    std::string pluginPath;      // absolute
    std::string transcriptPath;  // absolute; empty: no transcript
    std::string audioAsked;      // the --audio choice as written; empty: no real device plays
    std::string sessionLine;     // written to the log files when the session starts
};

// Where the libraries' own messages (ALSA, PipeWire, libmpv: anything
// written to standard error) go while the session runs: this file in the
// game folder, never the terminal.
inline constexpr const char* kLibraryLogName = "kestro-host.log";

// Exit statuses of the mode (those of the scenario mode where they mean the
// same; a signal gives 128 + its number).
inline constexpr int kInteractiveExitUsage = 2;   // not a terminal, bad folder or transcript
inline constexpr int kInteractiveExitPlugin = 3;  // the plug-in could not be loaded

// Runs the mode until the person quits or a signal (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) arrives, and restores the terminal in every case. Not on
// a terminal (standard input or output not a tty, or a terminal type curses
// does not know) it prints how to run a scenario instead and returns the
// usage status without loading anything.
int runInteractive(const InteractiveOptions& options);

}  // namespace kestro::host
