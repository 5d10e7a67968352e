#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The two settings files in the system directory: the password and the last login choice.
// Each call opens, works and closes; nothing is cached. Results are reported by the boolean
// only, never by an exception.
//
// Only a regular file is read. Anything else in a file's place (a FIFO, a device, a
// directory) counts as a file that cannot be opened, and no call ever waits for it.
//
// Writers go through symbolic links that root or the writing user owns: the file at the end of
// the chain is replaced and the links stay. A chain with a link of anyone else is not followed:
// the link at the file's own path is replaced by a regular file (the settings directory is
// shared by a group, and one member must not aim another's writes). A writer killed midway
// leaves no temporary file for good: the next write removes what a dead writer left. A replaced
// file keeps its group (where the process may set it) and its mode. A new password file is created
// with 0660 before the umask, so it is never readable by everyone; a new last-login file with 0666
// before the umask.
//
// Password file "kdxPassWord.kdx": the password's bytes (UTF-8), nothing before or after.
// An empty file holds the empty password. Readers take at most 16 bytes, up to a zero byte.
//
// Last-login file "kdxUserLasted.kdx": "%d,%d,%d" (type index, inputs, outputs) with no line
// end. Readers take at most 16 bytes.

inline constexpr const char* kPasswordFileName = "kdxPassWord.kdx";
inline constexpr const char* kLastLoginFileName = "kdxUserLasted.kdx";
inline constexpr std::size_t kSettingsReadLimit = 16;  // bytes a reader looks at

// Full paths of the two files, in the current system directory.
std::string PasswordFilePath();
std::string LastLoginFilePath();

// True when something is at the password file's path, readable or not, a dangling symbolic
// link included. Only a path that surely names nothing gives false. A password file that is there
// but cannot be read still means a password is required, one that ReadPassword and CheckPassword
// never confirm; the panel fails closed rather than letting everyone in.
bool HasPasswordFile();

// The stored password. False when the file cannot be read; `strPassword` is then untouched.
bool ReadPassword(std::string& strPassword);

// True only when the password file can be read and holds exactly `strTyped`.
bool CheckPassword(std::string_view strTyped);

// Replaces the password file with exactly these bytes. The new content goes to a temporary
// file in the target's directory, reaches the disk and is then renamed over the old file, so a
// crash or a full disk never leaves a short or empty password behind (an empty password
// would let anyone in). False, with the old file as it was, when any step fails.
bool SavePassword(std::string_view strPassword);

// The last login choice. A file that cannot be opened (missing, or not a regular file) gives
// 0, 8, 8 and true. A file without two commas gives false and leaves all three values
// untouched.
bool ReadLastLogin(int& nType, int& nInputs, int& nOutputs);

// Replaces the last-login file with "%d,%d,%d", written the same safe way as the password.
bool WriteLastLogin(int nType, int nInputs, int nOutputs);

// The settings writer all of the above use, for any settings file (the labels file too):
// replaces the file at `path` with exactly `bytes`, old or new content and never a torn one.
// Only a regular file is replaced; its group and mode are kept; a new file is created with
// `newMode` before the umask. False, with the old file as it was, when any step fails.
bool ReplaceSettingsFile(const std::string& path, std::string_view bytes, unsigned newMode);

// Which file ReplaceSettingsFile(path, ...) would replace: the end of the chain of symbolic
// links it follows, or `path` itself. False when the chain never ends.
bool SettingsWriteTarget(const std::string& path, std::string& target);

// Removes what writers of the file at `path` left when they were killed midway (a program
// that keeps a file calls it at start, so that nothing stays until its next write).
void RemoveDeadWritersFiles(const std::string& path);
