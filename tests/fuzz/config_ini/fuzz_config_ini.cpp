// Feeds arbitrary bytes to the "Config.ini" parser, reads the settings keys, rewrites some of
// them and checks that the file keeps its shape: parsing is stable, a written value reads back
// exactly, and writing one key never changes another.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/config_ini.h"

using velmora::ConfigIni;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

constexpr const char* kSections[] = {"OUTPUT", "MP3", "output", "Mp3", "Extra"};
constexpr const char* kKeys[] = {"SameAsSrc", "DesDir", "LastDir", "Name", "LameBits", "LameChannel", "Freq"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks what to write; the rest up to a 0xFF byte is the file, the remainder
    // the value to write.
    const uint8_t pick = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = rest.find('\xFF');
    const std::string_view text = rest.substr(0, split);
    std::string value = split == std::string_view::npos ? std::string() : std::string(rest.substr(split + 1));

    ConfigIni ini = ConfigIni::Parse(text);
    const std::string once = ini.Serialize();
    Check(ConfigIni::Parse(once).Serialize() == once);

    for (const char* s : kSections)
        for (const char* k : kKeys) {
            (void)ini.GetInt(s, k, 11);
            Check(ini.GetString(s, k, "").size() <= 4 * velmora::kMaxProfileStringChars);
        }

    const char* section = kSections[pick % 5];
    const char* key = kKeys[(pick / 5) % 7];
    // Other keys keep their values when one is written.
    std::string before[5][7];
    for (int s = 0; s < 5; ++s)
        for (int k = 0; k < 7; ++k)
            before[s][k] = ini.Value(kSections[s], kKeys[k]).value_or("\x01missing");

    ini.SetString(section, key, value);
    ConfigIni back = ConfigIni::Parse(ini.Serialize());
    const size_t lineEnd = value.find_first_of("\r\n");
    if (lineEnd != std::string::npos)
        value.resize(lineEnd);
    Check(back.Value(section, key) == value);
    for (int s = 0; s < 5; ++s)
        for (int k = 0; k < 7; ++k) {
            const bool sameSection = (s % 2) == ((pick % 5) % 2) && s != 4 && (pick % 5) != 4;
            if ((sameSection || s == static_cast<int>(pick % 5)) && k == static_cast<int>((pick / 5) % 7))
                continue;
            Check(back.Value(kSections[s], kKeys[k]).value_or("\x01missing") == before[s][k]);
        }

    (void)velmora::ProfileIntFromText(text);
    return 0;
}
