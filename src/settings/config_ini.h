// A private-profile text file ("Config.ini"): "[section]" lines, each followed by
// "key=value" lines. Plain C++ (no Qt), so the parser can be fuzzed on its own.
//
// Reading: section and key names match without regard to ASCII case, the first matching
// section and the first matching key in it win; names and values are trimmed of blanks and
// tabs; a value enclosed in double quotes loses the quotes. Writing: a key that exists keeps
// its line and place (and its spelling), a missing key is appended to its section, a missing
// section is appended to the file; every other line (comments, blank lines, unknown keys and
// sections) is kept as it was. Text is UTF-8; "\r\n" and "\n" line ends are both read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// A string value comes back with at most this many characters (code points).
inline constexpr size_t kMaxProfileStringChars = 1023;

// The decimal number at the start of `text` (leading blanks and one sign allowed); 0 when
// there is none. Values beyond the 32-bit range saturate at its limits.
int32_t ProfileIntFromText(std::string_view text);

class ConfigIni {
public:
    static ConfigIni Parse(std::string_view text);
    std::string Serialize() const;

    // The raw value of (section, key), or nothing when either is missing.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // The private-profile reads: a string cut to kMaxProfileStringChars, an integer by
    // ProfileIntFromText; `fallback` when the key is missing.
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback) const;
    int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;

    void SetString(std::string_view section, std::string_view key, std::string_view value);
    void SetInt(std::string_view section, std::string_view key, int32_t value);

    bool empty() const { return lines_.empty(); }

private:
    struct Line {
        std::string text;      // the line as it stands in the file, without its line end
    };
    // Index range [begin, end) of the lines of the first section named `section`, the
    // header line included at `begin`; nothing when the file has no such section.
    struct Range { size_t begin, end; };
    std::optional<Range> FindSection(std::string_view section) const;
    std::optional<size_t> FindKey(const Range& r, std::string_view key) const;

    std::vector<Line> lines_;
};

// File access. A missing file reads as empty; `error` (when given) receives a description
// when the file exists but cannot be read.
std::optional<ConfigIni> LoadConfigIni(const std::string& path, std::string* error = nullptr);
// Writes the whole file through a temporary file in the same folder that is renamed over the
// old one, so a full disk or a crash leaves either the old or the new file, never half of one.
bool SaveConfigIni(const std::string& path, const ConfigIni& ini, std::string* error = nullptr);

}  // namespace velmora
