#include "support/ffmpeg_fixtures.h"

#include <cctype>
#include <cstdlib>
#include <map>

namespace velmora::testing {

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

bool MakeToneWithFfmpeg(const std::filesystem::path& path, const FfmpegTone& tone) {
    // The codec is named rather than left to ffmpeg's defaults, which depend on its build.
    static const std::map<std::string, std::string> codecs{
        {".wav", "pcm_s16le"}, {".flac", "flac"}, {".ogg", "libvorbis"},
        {".opus", "libopus"},  {".m4a", "aac"},   {".wma", "wmav2"}};
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto codec = codecs.find(extension);
    if (codec == codecs.end()) return false;
    std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i " +
                          Quoted("sine=frequency=" + std::to_string(tone.hz) + ":sample_rate=" + std::to_string(tone.rate) +
                                 ":duration=" + std::to_string(tone.seconds)) +
                          (tone.cover.empty() ? std::string()
                                              : " -i " + Quoted(tone.cover.string()) +
                                                    " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic") +
                          " -ac " + std::to_string(tone.channels) + " -c:a " + codec->second;
    for (const auto& [key, value] : tone.tags) command += " -metadata " + Quoted(key + "=" + value);
    command += " " + Quoted(path.string());
    return std::system(command.c_str()) == 0 && std::filesystem::exists(path);
}

}  // namespace velmora::testing
