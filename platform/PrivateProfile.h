// Profile ("ini") files, in place of GetPrivateProfileString, GetPrivateProfileInt and
// WritePrivateProfileString. Sections in square brackets, key=value lines, ';' comment lines.
// Section and key names compare without regard to ASCII case; names and values are trimmed of
// blanks, and a value wrapped in a matching pair of quotes loses them. The first matching
// section and key win. Values are bytes (the client keeps its files in UTF-8) and are never cut.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The key's value, or defaultValue when the file, the section or the key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path);

// The key's value read as a decimal integer with an optional sign (digits up to the first other
// character; 0 when the value does not start with a number), or defaultValue when the file, the
// section or the key is missing.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path);

// Writes key=value: replaces the first matching key in place, else appends the key at the end of
// the section, else appends the section at the end of the file; creates the file when missing.
// The file is replaced as a whole (written beside it, then renamed). False when it cannot be
// written.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Removes the first matching key of the section; true when the file is fine afterwards.
bool DeletePrivateProfileKey(const std::string& section, const std::string& key, const std::string& path);

// Section names in file order (as spelled in the file).
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path);

} // namespace platform
