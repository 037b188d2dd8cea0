// A reader of Windows shortcut files (.lnk, the shell-link binary format).
//
// It gives what Windows' IShellLinkA::GetPath(SLGP_RAWPATH) gives for a
// shortcut: the target path with environment references such as %windir%
// left unexpanded, as UTF-8, whole: it is never cut (a cut path could name
// another file; the caller decides what a target too long for it means).
// Where the path comes from, in this order:
//   1. the EnvironmentVariablesDataBlock target (when the link's
//      HasExpString flag announces it);
//   2. LinkInfo's LocalBasePath + CommonPathSuffix;
//   3. LinkInfo's network form: DeviceName + "\" + CommonPathSuffix for a
//      mapped drive ("Z:\x"), else NetName + "\" + CommonPathSuffix (UNC);
//   4. the path rebuilt from the LinkTargetIDList's file-system items
//      (My Computer -> drive -> long names, or a network share -> names),
//      as Windows does for links without LinkInfo;
//   5. otherwise empty (a link to something that is no file-system object,
//      such as "This PC" or an app).
// Unicode fields win over ANSI ones. ANSI text that is valid UTF-8 is taken
// as UTF-8, anything else is decoded from the ANSI code page set with
// setShellLinkAnsiCodePage (default windows-1252). Unpaired UTF-16
// surrogates become U+FFFD.
//
// Damage: the 76-byte header must be whole and name the ShellLink class, or
// the file is no shortcut. After it the sections are read in order; the
// first one that runs past the end of the data (or whose size cannot be
// right) ends the reading, and what was read whole before it still counts.
// A section that fits but is inconsistent inside (an offset out of range, an
// unterminated string) is passed over by itself.
//
// Every function accepts any byte sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system/Text.h"  // isValidUtf8

namespace kestro::platform {

// Status of a shortcut read.
inline constexpr int kShellLinkOk = 0;           // a shortcut (target may be empty)
inline constexpr int kShellLinkUnreadable = -1;  // no such file, or not a regular file
inline constexpr int kShellLinkNotALink = -2;    // no shell-link header

// LinkFlags bits used by the reader.
inline constexpr std::uint32_t kLinkHasIdList = 0x00000001;
inline constexpr std::uint32_t kLinkHasLinkInfo = 0x00000002;
inline constexpr std::uint32_t kLinkHasName = 0x00000004;
inline constexpr std::uint32_t kLinkHasRelativePath = 0x00000008;
inline constexpr std::uint32_t kLinkHasWorkingDir = 0x00000010;
inline constexpr std::uint32_t kLinkHasArguments = 0x00000020;
inline constexpr std::uint32_t kLinkHasIconLocation = 0x00000040;
inline constexpr std::uint32_t kLinkIsUnicode = 0x00000080;
inline constexpr std::uint32_t kLinkForceNoLinkInfo = 0x00000100;
inline constexpr std::uint32_t kLinkHasExpString = 0x00000200;

// Everything the reader found, each field already UTF-8 and uncut.
struct ShellLinkFields {
    bool isLink = false;     // the header was whole and right
    bool complete = false;   // every section was read without damage
    std::uint32_t flags = 0;
    std::string envTarget;    // EnvironmentVariablesDataBlock target
    std::string localPath;    // LocalBasePath + CommonPathSuffix
    std::string devicePath;   // DeviceName + "\" + CommonPathSuffix
    std::string networkPath;  // NetName + "\" + CommonPathSuffix
    std::string idListPath;   // rebuilt from the ID list, empty if virtual
    std::string relativePath; // StringData RELATIVE_PATH (not used for the target)
};

// Reads a shortcut held in memory. Returns false when the data has no
// shell-link header (then `out` holds only defaults).
bool parseShellLink(const unsigned char* data, std::size_t size, ShellLinkFields& out);

// The raw target chosen from the fields in the order above, whole.
std::string shellLinkTarget(const ShellLinkFields& fields);

// parseShellLink + shellLinkTarget; empty for data that is no shortcut.
std::string shellLinkRawPath(const unsigned char* data, std::size_t size);

// Reads the shortcut file at `path` (a path of this system) into `target`.
// A symbolic link whose name ends in ".lnk" (any case) gives its own target
// as readlink returns it, made absolute against the link's folder when
// relative. Returns kShellLinkOk, or a negative status with `target` empty.
// Files larger than kShellLinkMaxFileSize are read only that far.
int readShellLinkFile(const char* path, std::string& target);
inline constexpr std::size_t kShellLinkMaxFileSize = 1 << 20;

// The code page for ANSI text that is not valid UTF-8: 1250, 1251, 1252
// (the default) or 28591 (ISO-8859-1). Returns false, keeping the current
// one, for any other value. The environment variable KESTRO_ANSI_CODEPAGE
// sets the starting value.
bool setShellLinkAnsiCodePage(int codePage);
int shellLinkAnsiCodePage();

// Text helpers, exposed for tests and other readers.
// Decodes ANSI bytes: as UTF-8 when they are valid UTF-8, else from the code page.
std::string decodeAnsi(const unsigned char* bytes, std::size_t length);
// Decodes little-endian UTF-16 (`units` code units); lone surrogates -> U+FFFD.
std::string decodeUtf16le(const unsigned char* bytes, std::size_t units);

}  // namespace kestro::platform
