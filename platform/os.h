// Process services of the operating system: the executable's path, paths and files, local
// date and time text, profile (INI) strings. The clock is the message loop's
// (platform/message_loop.h). All functions are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace telvane::platform {

// The local date in the user's short form, one blank, and the time with seconds in the long
// form, for a wall time in milliseconds since 1970.
std::string LocalDateTimeText(int64_t wall_ms);

// Full path of the running executable.
std::string ExecutablePath();

// The directory part of a path, with its trailing separator ("" when there is none).
std::string ExtractFilePath(const std::string& path);

// The path resolved against the current directory to a full, normalised path. Where a
// drive letter names a mapped network drive, the network (UNC) path is returned instead.
std::string ExpandFileName(const std::string& path);

// The value of an environment variable, or nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The directories where settings are looked for after the executable's own, in order, each
// with its trailing separator. POSIX: $XDG_CONFIG_HOME/telvane/ (~/.config/telvane/ when it is
// not set, empty or not absolute), then /etc/telvane/. Windows: none. The variables come from
// environment (the process's own when not given).
std::vector<std::string> ConfigDirectories(const EnvironmentLookup& environment = {});

// The directories where the lines file of the telephony service is looked for after the
// executable's own (platform/lines_file_location.h), in order, each with its trailing
// separator. POSIX: the ConfigDirectories. Windows: %APPDATA%\telvane\ (none when APPDATA is
// not set), the user's own folder for the settings of programs. The variables come from
// environment (the process's own when not given).
std::vector<std::string> LinesFileDirectories(const EnvironmentLookup& environment = {});

// True where file names are case-sensitive, so a name must keep the case it was given in.
bool CaseSensitiveFileNames();

// True if a file (not a directory) exists at the path.
bool FileExists(const std::string& path);

// True when the console takes its text as UTF-8 (on POSIX: the character set of the
// LC_CTYPE locale the program selected), so that code page 437 box characters must be written
// as the same characters in UTF-8.
bool ConsoleIsUtf8();

// Longest value a profile string read returns; the reader's buffer holds one more byte.
inline constexpr size_t kMaxProfileString = 2047;

// The value of key in section of the profile file, or default_value when the file, the
// section or the key is missing. Section and key names match case-insensitively; blanks
// around names and values are ignored; a value in matching quotes loses them; lines
// starting with ';' are comments. At most kMaxProfileString characters are returned.
std::string ReadProfileString(const std::string& file_name, const std::string& section,
                              const std::string& key, const std::string& default_value);

}  // namespace telvane::platform
