// The user options (the dialog's 27 and the exact-hardware switch) and the INI file that keeps them
// between runs (section "OPTIONS" of a file beside the executable). INI files follow the Windows
// profile format, so they move between Windows and Linux unchanged.
#pragma once

#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {

// One option: its INI key (also its member's name in GbOptions), its default (the member's
// initial value) and access to the member.
struct OptionDef {
    const char* key;
    bool is_bool;       // stored as 0 or 1; any non-zero value reads as 1
    u32 default_value;  // used when the key is missing or does not convert
    u32 (*get)(const GbOptions& options);
    void (*set)(GbOptions& options, u32 value);  // a bool option takes any non-zero value as 1
};

inline constexpr const char* kIniSection = "OPTIONS";

// The options in the order in which they are read and written.
const std::vector<OptionDef>& Options();

// Converts one INI value text to an integer. Texts longer than two characters starting "0x"/"0X"
// take "$" in place of those two; then a signed 32-bit decimal ("010" is 10, "+5" is 5), or "$"
// with 1 to 8 hexadecimal digits taken as a 32-bit two's-complement value ("$FFFFFFFF" is -1).
// Anything else (empty, letters, trailing garbage, a decimal outside the 32-bit range) fails and
// returns false.
bool ParseIniInteger(const std::string& text, i32* value);

// Looks up (section, key) in INI file contents with the Windows profile rules: names compared
// without regard to ASCII case, blanks around names and values trimmed, one pair of matching
// surrounding quotes removed, the first of duplicate sections and keys used, CRLF or LF lines.
// Returns false when the key is missing. The value is cut to 2047 characters.
bool IniLookup(const std::string& contents, const std::string& section, const std::string& key,
               std::string* value);

// Returns `contents` with each (key, value) pair set in `section`: an existing line (the first
// of duplicates) is replaced in place, missing keys are added in the given order after the
// section's last entry, a missing section is added at the end. Every other line is kept as it
// was, line endings included.
std::string IniUpdate(const std::string& contents, const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries);

// Reads all options; a missing file, key or unconvertible value gives the default. Never fails.
void INIRead(TGBSYSF& gb, const std::string& ini_path);
// Writes all options as decimal integers, keeping the rest of an existing file. On failure
// returns false with "Impossible d'écrire dans <path>" in *error; the old file stays as it was.
bool INIWrite(const TGBSYSF& gb, const std::string& ini_path, std::string* error);

// The executable's path with its extension replaced by ".INI" (kivo -> kivo.INI).
std::string IniPathForExecutable(const std::string& exe_path);

}  // namespace kivo
