// velmora_ffmpeg.so: everything the engine asks of FFmpeg's libraries (see ffmpeg_module.h).
#include "engine/ffmpeg_module.h"

#include "engine/ffmpeg/av_error.h"
#include "engine/ffmpeg/m4b_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cctype>
#include <limits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>


namespace velmora {

namespace {

// The libraries log to stderr by default; the join reports through its own lines, and a
// damaged file would otherwise flood the terminal of velmora-cli.
void QuietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// libavformat reads the file through the engine's file layer: one descriptor, no pipes or
// devices, read failures and shrunk files told apart from the end, and the tests' read hook.
struct FileIo {
    FfmpegInput* file = nullptr;
    int64_t position = 0;

    static int ReadPacket(void* opaque, uint8_t* buf, int size) {
        auto* io = static_cast<FileIo*>(opaque);
        if (size <= 0) return 0;
        const size_t n = io->file->ReadSome(io->position, buf, static_cast<size_t>(size));
        io->position += static_cast<int64_t>(n);
        if (n > 0) return static_cast<int>(n);
        return io->file->failed() ? AVERROR(EIO) : AVERROR_EOF;
    }

    static int64_t Seek(void* opaque, int64_t offset, int whence) {
        auto* io = static_cast<FileIo*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return io->file->size();
        case SEEK_SET: break;
        case SEEK_CUR: offset += io->position; break;
        case SEEK_END: offset += io->file->size(); break;
        default: return AVERROR(EINVAL);
        }
        if (offset < 0) return AVERROR(EINVAL);
        io->position = offset;
        return offset;
    }
};

// The demuxer of a container whose first bytes name it unmistakably (FLAC, Ogg, MP4, RIFF
// WAVE, ASF), or null. FFmpeg's probe would pick the same one, but only after running every
// demuxer's probe over the first bytes, which is most of the time it takes to read the
// properties of a short file; anything else still goes through the probe.
const AVInputFormat* SignedContainer(FfmpegInput& file) {
    static const AVInputFormat* const flac = av_find_input_format("flac");
    static const AVInputFormat* const ogg = av_find_input_format("ogg");
    static const AVInputFormat* const mov = av_find_input_format("mov");
    static const AVInputFormat* const wav = av_find_input_format("wav");
    static const AVInputFormat* const asf = av_find_input_format("asf");
    static const unsigned char kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    unsigned char b[16];
    if (file.Read(0, b, sizeof b) != sizeof b) return nullptr;
    if (std::memcmp(b, "fLaC", 4) == 0) return flac;
    if (std::memcmp(b, "OggS", 4) == 0) return ogg;
    if (std::memcmp(b + 4, "ftyp", 4) == 0) return mov;
    if (std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WAVE", 4) == 0) return wav;
    if (std::memcmp(b, kAsfHeader, sizeof kAsfHeader) == 0) return asf;
    return nullptr;
}

// An opened container with its first audio stream found; the decoder is not opened here.
struct Container {
    FileIo io;
    AVIOContext* avio = nullptr;
    AVFormatContext* format = nullptr;
    int stream = -1;
    bool mpeg = false;  // stopped at MPEG audio: no stream chosen
    std::string error;

    ~Container() {
        avformat_close_input(&format);
        if (avio) av_freep(&avio->buffer);
        avio_context_free(&avio);
    }

    AVStream* Stream() const { return stream >= 0 ? format->streams[stream] : nullptr; }

    // Over `file`, which the engine opened from `path` (or left closed). `findInfo`: read ahead
    // until every stream's parameters are known (rate and channels of an ADTS stream, say);
    // only the MPEG check does without. With `stopAtMpeg`, a file the probe takes for MPEG
    // audio ends the open there, successfully, with `mpeg` set.
    bool Open(const std::string& path, FfmpegInput& file, bool findInfo, bool stopAtMpeg) {
        QuietLibraries();
        io.file = &file;
        // The engine opens regular files only.
        if (!file.isOpen()) {
            std::error_code ec;
            if (!file.regularFile())
                error = std::filesystem::exists(path, ec) ? "Not a regular file" : AvErrorText(AVERROR(ENOENT));
            else
                error = AvErrorText(file.failed() ? AVERROR(EIO) : AVERROR(ENOENT));
            return false;
        }
        constexpr int kBufferBytes = 64 * 1024;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
        if (buffer) avio = avio_alloc_context(buffer, kBufferBytes, 0, &io, &FileIo::ReadPacket, nullptr, &FileIo::Seek);
        if (!avio) {
            av_free(buffer);
            error = AvErrorText(AVERROR(ENOMEM));
            return false;
        }
        format = avformat_alloc_context();
        if (!format) {
            error = AvErrorText(AVERROR(ENOMEM));
            return false;
        }
        format->pb = avio;
        // The name is a hint for the probe (its extension); the bytes decide.
        int r = avformat_open_input(&format, path.c_str(), SignedContainer(file), nullptr);
        // A read that failed while the library looked at the file is the error, whatever the
        // library made of the bytes that did not come (often the end of the file).
        if (r < 0) {  // the context is freed on failure
            error = AvErrorText(file.failed() ? AVERROR(EIO) : r);
            return false;
        }
        if (stopAtMpeg && std::strcmp(format->iformat->name, "mp3") == 0) {
            mpeg = true;
            return true;
        }
        if (findInfo && (r = avformat_find_stream_info(format, nullptr)) < 0) {
            error = AvErrorText(file.failed() ? AVERROR(EIO) : r);
            return false;
        }
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            AVStream* st = format->streams[i];
            if (stream < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                stream = static_cast<int>(i);
            } else {
                st->discard = AVDISCARD_ALL;  // cover art, video, further audio
            }
        }
        if (stream < 0) {
            error = AvErrorText(AVERROR_STREAM_NOT_FOUND);
            return false;
        }
        return true;
    }
};

std::string TypeName(const AVFormatContext* format, const AVCodecParameters* par) {
    const std::string name = format->iformat->name;
    const AVCodecID codec = par->codec_id;
    if (name == "wav" || name == "w64") return "WAV";
    if (name == "flac") return "FLAC";
    if (name == "ogg") {
        if (codec == AV_CODEC_ID_OPUS) return "OPUS";
        if (codec == AV_CODEC_ID_FLAC) return "FLAC";
        return "OGG";
    }
    if (name.rfind("mov,", 0) == 0) {
        if (codec != AV_CODEC_ID_AAC && codec != AV_CODEC_ID_ALAC) return "MP4";
        // An audiobook says so by its major brand.
        const AVDictionaryEntry* brand = av_dict_get(format->metadata, "major_brand", nullptr, 0);
        return brand && std::strcmp(brand->value, "M4B ") == 0 ? "M4B" : "M4A";
    }
    if (name == "aac") return "AAC";
    if (name == "asf") return "WMA";
    if (name == "mp3") {
        if (codec == AV_CODEC_ID_MP2) return "MP2";
        if (codec == AV_CODEC_ID_MP1) return "MP1";
        return "MP3";
    }
    std::string upper = name.substr(0, name.find(','));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

uint32_t OutputChannels(int channels) { return channels <= 1 ? 1u : 2u; }

AudioFileInfo ProbeContainer(const std::string& path, Container& c, bool opened) {
    AudioFileInfo info;
    if (!opened) {
        info.message = "Trouble with " + path + ": " + c.error;
        return info;
    }
    if (c.mpeg) {
        info.mpegAudio = true;
        return info;
    }
    const AVStream* st = c.Stream();
    const AVCodecParameters* par = st->codecpar;
    if (!avcodec_find_decoder(par->codec_id)) {
        info.message = "Trouble with " + path + ": " + AvErrorText(AVERROR_DECODER_NOT_FOUND);
        return info;
    }
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) {
        info.message = "Trouble with " + path + ": " + AvErrorText(AVERROR_INVALIDDATA);
        return info;
    }
    info.readable = true;
    info.typeName = TypeName(c.format, par);
    info.sampleRate = static_cast<uint32_t>(par->sample_rate);
    info.channels = OutputChannels(par->ch_layout.nb_channels);
    int64_t frames = 0;
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
        frames = av_rescale_q(st->duration, st->time_base, AVRational{1, par->sample_rate});
    } else if (c.format->duration > 0 && c.format->duration != AV_NOPTS_VALUE) {
        frames = av_rescale_q(c.format->duration, AV_TIME_BASE_Q, AVRational{1, par->sample_rate});
    }
    info.totalSamples = static_cast<uint64_t>(std::max<int64_t>(frames, 0)) * info.channels;
    info.duration = static_cast<double>(frames) / par->sample_rate;
    const int64_t bitrate = par->bit_rate > 0 ? par->bit_rate : c.format->bit_rate;
    info.bitrateKbps = bitrate > 0 ? static_cast<int>((bitrate + 500) / 1000) : 0;
    // WavPack's hybrid mode is both: its bit rate is a lossy one.
    const AVCodecDescriptor* codec = avcodec_descriptor_get(par->codec_id);
    info.lossless = codec && (codec->props & AV_CODEC_PROP_LOSSLESS) && !(codec->props & AV_CODEC_PROP_LOSSY);
    return info;
}

struct Decoding {
    Container container;
    AVCodecContext* decoder = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    // What the converter was set up for; a stream may change its layout or sample format
    // between frames (an AAC program config element, a chained Ogg).
    int swrFormat = -1;
    AVChannelLayout swrLayout{};
    uint32_t rate = 0;
    uint32_t channels = 0;
    std::vector<int32_t> pending;  // converted samples of the last frame not yet read
    size_t pendingAt = 0;
    bool inputDone = false;    // the demuxer is at its end; the decoder has been told
    bool decoderDone = false;  // nothing more comes out
    bool damaged = false;
    bool failed = false;
    std::string error;

    ~Decoding() {
        av_channel_layout_uninit(&swrLayout);
        swr_free(&swr);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
    }

    bool SetUpConverter(const AVFrame* f) {
        if (swr && f->format == swrFormat && av_channel_layout_compare(&f->ch_layout, &swrLayout) == 0) return true;
        swr_free(&swr);
        av_channel_layout_uninit(&swrLayout);
        swrFormat = f->format;
        av_channel_layout_copy(&swrLayout, &f->ch_layout);
        // A layout without named channels (a WAV without a channel mask) is taken in the
        // default order for its count, so that the mixdown below knows its sides.
        AVChannelLayout in{};
        if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&in, f->ch_layout.nb_channels);
        else
            av_channel_layout_copy(&in, &f->ch_layout);
        // Sample format only, at the file's own rate: the libsox chain converts rates. Mono
        // stays mono and stereo stereo; more channels are mixed down to stereo here (by the
        // library's standard matrix), since the encoder takes at most two.
        AVChannelLayout out{};
        av_channel_layout_default(&out, static_cast<int>(channels));
        const int r = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S32, f->sample_rate, &in,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (r < 0 || swr_init(swr) < 0) {
            swr_free(&swr);
            return false;
        }
        return true;
    }

    // The decoded frame into `pending`; a frame that cannot be converted is left out.
    void TakeFrame() {
        if (frame->nb_samples <= 0) return;
        if (static_cast<uint32_t>(frame->sample_rate) != rate || !SetUpConverter(frame)) {
            damaged = true;
            return;
        }
        pending.resize(static_cast<size_t>(frame->nb_samples) * channels);
        auto* out = reinterpret_cast<uint8_t*>(pending.data());
        const int n = swr_convert(swr, &out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                                  frame->nb_samples);
        pending.resize(n > 0 ? static_cast<size_t>(n) * channels : 0);
        pendingAt = 0;
        if (n < 0) damaged = true;
    }

    void Fail(int code) {
        failed = true;
        error = AvErrorText(code);
        decoderDone = true;
    }

    // Feeds the decoder the next packet of the stream, or the end.
    void FeedPacket() {
        // A demuxer that keeps failing in one place without reading on would loop for ever.
        int stuck = 0;
        int64_t lastPosition = -1;
        for (;;) {
            const int r = av_read_frame(container.format, packet);
            AVIOContext* pb = container.format->pb;
            if (r < 0) {
                if (container.io.file->failed() || pb->error < 0) {
                    Fail(pb->error < 0 && pb->error != AVERROR_EOF ? pb->error : AVERROR(EIO));
                    return;
                }
                if (r == AVERROR_EOF || avio_feof(pb)) {
                    avcodec_send_packet(decoder, nullptr);
                    inputDone = true;
                    return;
                }
                if (r != AVERROR_INVALIDDATA && r != AVERROR(EAGAIN)) {
                    Fail(r);
                    return;
                }
                // Damaged container data: the demuxer resyncs past it.
                damaged = true;
                error = AvErrorText(r);
                const int64_t at = avio_tell(pb);
                if (at == lastPosition && ++stuck > 16) {
                    Fail(r);
                    return;
                }
                lastPosition = at;
                continue;
            }
            if (packet->stream_index != container.stream) {
                av_packet_unref(packet);
                continue;
            }
            const int sent = avcodec_send_packet(decoder, packet);
            av_packet_unref(packet);
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                damaged = true;  // the packet is left out; the next one decodes
                error = AvErrorText(sent);
            }
            return;
        }
    }

    // Decodes until a frame is in `pending` or nothing more comes.
    void DecodeMore() {
        while (!decoderDone && pendingAt >= pending.size()) {
            const int r = avcodec_receive_frame(decoder, frame);
            if (r == 0) {
                TakeFrame();
                av_frame_unref(frame);
            } else if (r == AVERROR(EAGAIN)) {
                if (inputDone) {
                    decoderDone = true;
                } else {
                    FeedPacket();
                }
            } else if (r == AVERROR_EOF) {
                decoderDone = true;
            } else {
                damaged = true;
                error = AvErrorText(r);
                if (inputDone) decoderDone = true;
            }
        }
    }
};

class Decoder final : public FfmpegDecoder {
public:
    // False with error() set.
    bool Open(const std::string& path, FfmpegInput& input) {
        Decoding& s = s_;
        auto fail = [&](const std::string& text) {
            s.error = text;
            s.decoderDone = true;
            return false;
        };
        if (!s.container.Open(path, input, true, false)) {
            // A read that failed is no verdict on the file's contents.
            s.failed = input.failed();
            return fail(s.container.error);
        }
        const AVStream* st = s.container.Stream();
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec) return fail(AvErrorText(AVERROR_DECODER_NOT_FOUND));
        s.decoder = avcodec_alloc_context3(codec);
        s.packet = av_packet_alloc();
        s.frame = av_frame_alloc();
        if (!s.decoder || !s.packet || !s.frame) return fail(AvErrorText(AVERROR(ENOMEM)));
        int r = avcodec_parameters_to_context(s.decoder, st->codecpar);
        if (r < 0) return fail(AvErrorText(r));
        // The time base lets the decoder place the skip side data (pre-skip, edit lists, end
        // padding). AV_CODEC_FLAG2_SKIP_MANUAL stays off: the decoder trims them itself.
        s.decoder->pkt_timebase = st->time_base;
        if ((r = avcodec_open2(s.decoder, codec, nullptr)) < 0) return fail(AvErrorText(r));
        if (s.decoder->sample_rate <= 0 || s.decoder->ch_layout.nb_channels <= 0)
            return fail(AvErrorText(AVERROR_INVALIDDATA));
        s.rate = static_cast<uint32_t>(s.decoder->sample_rate);
        s.channels = OutputChannels(s.decoder->ch_layout.nb_channels);
        return true;
    }

    uint32_t sampleRate() const override { return s_.rate; }
    uint32_t channels() const override { return s_.channels; }

    size_t Read(int32_t* out, size_t maxSamples) override {
        Decoding& s = s_;
        if (s.channels == 0) return 0;
        maxSamples -= maxSamples % s.channels;
        size_t done = 0;
        while (done < maxSamples) {
            s.DecodeMore();
            const size_t n = std::min(maxSamples - done, s.pending.size() - s.pendingAt);
            if (n == 0) break;
            std::memcpy(out + done, s.pending.data() + s.pendingAt, n * sizeof(int32_t));
            s.pendingAt += n;
            done += n;
        }
        return done;
    }

    bool damaged() const override { return s_.damaged; }
    bool failed() const override { return s_.failed; }
    const std::string& error() const override { return s_.error; }

private:
    Decoding s_;
};

class Module final : public FfmpegModule {
public:
    bool IsMpegAudio(const std::string& path, FfmpegInput& input) override {
        Container c;
        return c.Open(path, input, false, false) && std::strcmp(c.format->iformat->name, "mp3") == 0;
    }

    AudioFileInfo Probe(const std::string& path, FfmpegInput& input, bool stopAtMpeg) override {
        Container c;
        const bool opened = c.Open(path, input, true, stopAtMpeg);
        return ProbeContainer(path, c, opened);
    }

    bool ReadChapters(const std::string& path, FfmpegInput& input, std::vector<ChapterEntry>& chapters,
                      std::string& error) override {
        chapters.clear();
        Container c;
        // The stream info read also gives each chapter without an end (Ogg and FLAC comments
        // carry starts only) the next one's start, or the file's end.
        if (!c.Open(path, input, true, false)) {
            error = c.error;
            return false;
        }
        auto ms = [](int64_t t, AVRational base) -> uint32_t {
            if (t == AV_NOPTS_VALUE) return 0;
            const int64_t v = av_rescale_q(t, base, AVRational{1, 1000});
            return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<uint32_t>::max()));
        };
        for (unsigned i = 0; i < c.format->nb_chapters; ++i) {
            const AVChapter* ch = c.format->chapters[i];
            ChapterEntry e;
            e.startMs = ms(ch->start, ch->time_base);
            e.endMs = ch->end == AV_NOPTS_VALUE ? e.startMs : std::max(e.startMs, ms(ch->end, ch->time_base));
            if (const AVDictionaryEntry* title = av_dict_get(ch->metadata, "title", nullptr, 0)) e.title = title->value;
            chapters.push_back(std::move(e));
        }
        std::stable_sort(chapters.begin(), chapters.end(),
                         [](const ChapterEntry& a, const ChapterEntry& b) { return a.startMs < b.startMs; });
        return true;
    }

    std::unique_ptr<FfmpegDecoder> OpenDecoder(const std::string& path, FfmpegInput& input, std::string& error,
                                               bool& failed) override {
        auto decoder = std::make_unique<Decoder>();
        if (decoder->Open(path, input)) return decoder;
        error = decoder->error();
        failed = decoder->failed();
        return nullptr;
    }

    std::unique_ptr<FfmpegEncoder> OpenM4bEncoder(const M4bOutputFormat& format, std::string& error,
                                                  bool& createFailed) override {
        QuietLibraries();
        return velmora::OpenM4bEncoder(format, error, createFailed);
    }
};

}  // namespace

}  // namespace velmora

extern "C" __attribute__((visibility("default"))) velmora::FfmpegModule* VelmoraFfmpegModule(int version) {
    static velmora::Module module;
    return version == velmora::kFfmpegModuleVersion ? &module : nullptr;
}

// The FFmpeg release the module runs with ("5.1.6-0+deb12u1"), outside the versioned interface
// so any build of the module can tell it.
extern "C" __attribute__((visibility("default"))) const char* VelmoraFfmpegVersion() { return av_version_info(); }
