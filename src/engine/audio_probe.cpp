// What FFmpeg says of an input that is not MPEG audio: the file list's stream cells and the
// join's check that every input can be read. Nothing is decoded through here.
#include "engine/audio_source.h"

#include "engine/media_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace velmora {

namespace {

std::string LowerExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool IsMpegCodec(AVCodecID id) {
    return id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3;
}

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Owns an opened input so that every early return closes it.
struct Input {
    AVFormatContext* ctx = nullptr;
    ~Input() {
        if (ctx) avformat_close_input(&ctx);
    }
};

// Opens only a regular file: a pipe's or a device's name must not block or read forever.
// 0 or an AVERROR code.
int OpenRegular(const std::string& path, Input& in) {
    if (!IsRegularFile(path)) {
        struct stat st {};
        return ::stat(path.c_str(), &st) != 0 ? AVERROR(errno) : AVERROR(EINVAL);
    }
    return avformat_open_input(&in.ctx, path.c_str(), nullptr, nullptr);
}

// The Type column's name of a container and its codec: what users call these files.
std::string TypeNameOf(const AVFormatContext& ctx, AVCodecID codec) {
    const std::string format = ctx.iformat && ctx.iformat->name ? ctx.iformat->name : "";
    if (codec == AV_CODEC_ID_OPUS) return "OPUS";
    if (format == "wav" || format == "w64") return "WAV";
    if (format == "flac" || codec == AV_CODEC_ID_FLAC) return "FLAC";
    if (format == "ogg") return "OGG";
    if (format.rfind("mov,mp4,m4a", 0) == 0) return "M4A";
    if (format == "aac") return "AAC";
    if (format == "asf") return "WMA";
    if (IsMpegCodec(codec)) return "MP3";
    // Another container FFmpeg knows: its first short name.
    std::string name = format.substr(0, format.find(','));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

bool IsMpegAudioFile(const std::string& path) {
    const std::string ext = LowerExtension(path);
    if (ext == "mp3" || ext == "mp2" || ext == "mpga") return true;
    for (const char* other : {"wav", "flac", "ogg", "oga", "opus", "m4a", "m4b", "aac", "wma"})
        if (ext == other) return false;
    // Another name: FFmpeg's probe decides. A file it cannot open stays with libmpg123, which
    // then gives its own message, as for every file before other formats were read.
    Input in;
    if (OpenRegular(path, in) < 0) return true;
    if (in.ctx->iformat && in.ctx->iformat->name && std::string(in.ctx->iformat->name) == "mp3") return true;
    for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
        const AVCodecParameters* par = in.ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) return IsMpegCodec(par->codec_id);
    }
    return true;
}

AudioFileInfo ProbeAudioFile(const std::string& path) {
    AudioFileInfo info;
    auto fail = [&](const std::string& text) {
        info = AudioFileInfo{};
        info.message = "Trouble with " + path + ": " + text;
        return info;
    };
    av_log_set_level(AV_LOG_QUIET);  // the library's message goes into ours, not to stderr

    Input in;
    if (const int err = OpenRegular(path, in); err < 0)
        return fail(err == AVERROR(EINVAL) ? "not a regular file" : ErrorText(err));
    if (const int err = avformat_find_stream_info(in.ctx, nullptr); err < 0) return fail(ErrorText(err));
    const int index = av_find_best_stream(in.ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return fail(index == AVERROR_STREAM_NOT_FOUND ? "no audio stream" : ErrorText(index));
    const AVStream* stream = in.ctx->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    if (par->codec_id == AV_CODEC_ID_NONE || !avcodec_find_decoder(par->codec_id))
        return fail(std::string("unsupported codec ") + avcodec_get_name(par->codec_id));
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return fail("no sample rate or channel count");

    info.readable = true;
    info.typeName = TypeNameOf(*in.ctx, par->codec_id);
    info.sampleRate = static_cast<uint32_t>(par->sample_rate);
    // More channels are mixed down to stereo when decoded: the list shows what the join gets.
    info.channels = static_cast<uint32_t>(std::min(par->ch_layout.nb_channels, 2));

    // The stream's own length when it has one (exact for FLAC, WAV and MP4), else the container's.
    int64_t frames = 0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        frames = av_rescale_q(stream->duration, stream->time_base, AVRational{1, par->sample_rate});
    } else if (in.ctx->duration != AV_NOPTS_VALUE && in.ctx->duration > 0) {
        frames = av_rescale_q(in.ctx->duration, AVRational{1, AV_TIME_BASE}, AVRational{1, par->sample_rate});
    }
    // An Ogg Opus stream's length counts its pre-skip, which the decoder drops.
    if (par->codec_id == AV_CODEC_ID_OPUS && par->initial_padding > 0 && frames > par->initial_padding)
        frames -= av_rescale(par->initial_padding, par->sample_rate, 48000);
    info.totalSamples = static_cast<uint64_t>(std::max<int64_t>(frames, 0)) * info.channels;
    info.duration = static_cast<double>(frames) / par->sample_rate;

    const int64_t bitRate = par->bit_rate > 0 ? par->bit_rate : in.ctx->bit_rate;
    info.bitrateKbps = bitRate > 0 ? static_cast<int>((bitRate + 500) / 1000) : 0;
    return info;
}

}  // namespace velmora
