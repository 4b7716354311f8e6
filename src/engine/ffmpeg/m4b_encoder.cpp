// The M4B sink's FFmpeg side: FFmpeg's native AAC encoder (LC) into libavformat's MP4 muxer in
// its iPod flavour, the one Apple's players and the audiobook apps read as a book.
#include "engine/ffmpeg/m4b_encoder.h"

#include "engine/ffmpeg/av_error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

// The picture's own bytes decide, not the MIME type a tag claimed: the container only knows
// JPEG and PNG covers.
AVCodecID CoverCodec(const std::vector<uint8_t>& cover) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (cover.size() >= 8 && std::memcmp(cover.data(), kPng, 8) == 0) return AV_CODEC_ID_PNG;
    if (cover.size() >= 3 && cover[0] == 0xFF && cover[1] == 0xD8 && cover[2] == 0xFF) return AV_CODEC_ID_MJPEG;
    return AV_CODEC_ID_NONE;
}

class M4bEncoder final : public FfmpegEncoder {
public:
    ~M4bEncoder() override {
        avcodec_free_context(&codec_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (format_) {
            if (format_->pb) avio_closep(&format_->pb);
            avformat_free_context(format_);
        }
    }

    bool Open(const M4bOutputFormat& out, bool& createFailed) {
        createFailed = false;
        channels_ = out.channels == 1 ? 1 : 2;
        int r = avformat_alloc_output_context2(&format_, nullptr, "ipod", nullptr);
        if (r < 0 || !format_) return Fail(r < 0 ? r : AVERROR(ENOMEM));
        // "file:" keeps a name with a colon from being read as another protocol. The muxer
        // opens the same URL again to move the index to the front.
        av_freep(&format_->url);
        format_->url = av_strdup(("file:" + out.path).c_str());
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac || !format_->url) return Fail(!aac ? AVERROR_ENCODER_NOT_FOUND : AVERROR(ENOMEM));
        codec_ = avcodec_alloc_context3(aac);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!codec_ || !frame_ || !packet_) return Fail(AVERROR(ENOMEM));
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = static_cast<int>(out.rate);
        av_channel_layout_default(&codec_->ch_layout, static_cast<int>(channels_));
        codec_->bit_rate = static_cast<int64_t>(out.bitrateKbps) * 1000;
        codec_->profile = FF_PROFILE_AAC_LOW;
        codec_->time_base = AVRational{1, codec_->sample_rate};
        // One thread. Measured with join_bench (8 x 60 s of 44.1 kHz stereo MP3 to 64 kbit/s, 2 cores
        // shared with other builds): the AAC encoder alone takes 6.9 s of CPU (70x real time) and
        // decoding the inputs 0.3 s; the join ran in 11.2 s against ffmpeg's 12.6 s (0.89), its
        // CPU time 0.99 of ffmpeg's, peak memory 46 MiB. Lanes were tried the simplest way, two
        // encoders on the two halves of the 8 minutes side by side: 17.6 s against 15.9 s for one
        // encoder on the whole (load average 5). No gain to pay for lane seams with, where each
        // lane's first frames overlap the previous lane's (MDCT windows, the encoder's delay).
        codec_->thread_count = 1;
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((r = avcodec_open2(codec_, aac, nullptr)) < 0) return Fail(r);
        frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 1024;

        audio_ = avformat_new_stream(format_, nullptr);
        if (!audio_) return Fail(AVERROR(ENOMEM));
        if ((r = avcodec_parameters_from_context(audio_->codecpar, codec_)) < 0) return Fail(r);
        audio_->time_base = codec_->time_base;

        std::vector<uint8_t> cover;
        AVStream* picture = nullptr;
        if (const OutputTagContent* t = out.tags) {
            auto set = [&](const char* key, const std::string& value) {
                if (!value.empty()) av_dict_set(&format_->metadata, key, value.c_str(), 0);
            };
            set("title", t->title);
            set("artist", t->artist);
            set("album_artist", t->albumArtist);
            set("album", t->album);
            set("date", t->year);
            set("genre", t->genre);
            set("comment", t->comment);
            set("track", t->track);
            // stik 2: the players file it under books, with the position remembered.
            if (t->tags) av_dict_set(&format_->metadata, "media_type", "2", 0);
            if (!t->cover.empty()) {
                const AVCodecID id = CoverCodec(t->cover);
                if (id == AV_CODEC_ID_NONE) {
                    coverNote_ = "not JPEG or PNG";
                } else if (!(picture = avformat_new_stream(format_, nullptr))) {
                    return Fail(AVERROR(ENOMEM));
                } else {
                    picture->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
                    picture->codecpar->codec_id = id;
                    picture->disposition = AV_DISPOSITION_ATTACHED_PIC;
                    // The cover box stores no dimensions and the picture is written as it is;
                    // the muxer only asks that a video stream has some.
                    picture->codecpar->width = 1;
                    picture->codecpar->height = 1;
                    picture->time_base = AVRational{1, 90000};
                    cover = t->cover;
                }
            }
        }

        if ((r = avio_open(&format_->pb, format_->url, AVIO_FLAG_WRITE)) < 0) {
            createFailed = true;
            return Fail(r);
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);  // the index goes before the audio
        av_dict_set(&options, "brand", "M4B ", 0);
        r = avformat_write_header(format_, &options);
        av_dict_free(&options);
        if (r < 0) return Fail(r);
        headerWritten_ = true;
        // The muxer keeps the one packet of the picture stream and writes it as the cover.
        if (picture) {
            if ((r = av_new_packet(packet_, static_cast<int>(cover.size()))) < 0) return Fail(r);
            std::memcpy(packet_->data, cover.data(), cover.size());
            packet_->stream_index = picture->index;
            packet_->pts = packet_->dts = 0;
            packet_->flags |= AV_PKT_FLAG_KEY;
            r = av_write_frame(format_, packet_);
            av_packet_unref(packet_);
            if (r < 0) return Fail(r);
        }
        return NewFrame();
    }

    bool Write(const int32_t* samples, size_t n) override {
        if (failed_) return false;
        // 2^-31: the engine's 32-bit full scale onto the encoder's +-1.
        constexpr float kScale = 0x1p-31f;
        size_t frames = n / channels_;
        while (frames > 0) {
            const size_t take = std::min(frames, static_cast<size_t>(frameSize_ - filled_));
            for (uint32_t c = 0; c < channels_; ++c) {
                auto* plane = reinterpret_cast<float*>(frame_->data[c]) + filled_;
                for (size_t i = 0; i < take; ++i) plane[i] = static_cast<float>(samples[i * channels_ + c]) * kScale;
            }
            samples += take * channels_;
            frames -= take;
            filled_ += static_cast<int>(take);
            if (filled_ == frameSize_ && (!Send(frame_) || !NewFrame())) return false;
        }
        return true;
    }

    bool Finish(const std::vector<Chapter>& chapters) override {
        if (failed_ || !headerWritten_) return false;
        // The last frame may be short: the encoder pads it and the muxer's edit list ends the
        // audio at its last real sample, as it starts it after the encoder's delay.
        if (filled_ > 0) {
            frame_->nb_samples = filled_;
            if (!Send(frame_)) return false;
        }
        if (!Send(nullptr)) return false;
        // Chapters set only now are written in the trailer, timed from the output's own length.
        for (const Chapter& c : chapters) {
            auto* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!ch || av_dynarray_add_nofree(&format_->chapters, reinterpret_cast<int*>(&format_->nb_chapters), ch) < 0) {
                av_free(ch);
                return Fail(AVERROR(ENOMEM));
            }
            ch->id = static_cast<int64_t>(format_->nb_chapters);
            ch->time_base = AVRational{1, codec_->sample_rate};
            ch->start = static_cast<int64_t>(c.startFrame);
            ch->end = static_cast<int64_t>(c.endFrame);
            av_dict_set(&ch->metadata, "title", c.title.c_str(), 0);
        }
        int r = av_write_trailer(format_);
        if (r < 0) return Fail(r);
        if (format_->pb->error < 0) return Fail(format_->pb->error);
        if ((r = avio_closep(&format_->pb)) < 0) return Fail(r);
        return true;
    }

    const std::string& error() const override { return error_; }
    const std::string& coverNote() const override { return coverNote_; }

private:
    bool Fail(int code) {
        failed_ = true;
        if (error_.empty()) error_ = AvErrorText(code);
        return false;
    }

    bool NewFrame() {
        av_frame_unref(frame_);
        frame_->format = codec_->sample_fmt;
        frame_->nb_samples = frameSize_;
        frame_->sample_rate = codec_->sample_rate;
        int r = av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
        if (r < 0 || (r = av_frame_get_buffer(frame_, 0)) < 0) return Fail(r);
        frame_->pts = pts_;
        filled_ = 0;
        return true;
    }

    // One frame (null: the end) into the encoder, and every packet it gives out to the file.
    bool Send(AVFrame* frame) {
        if (frame) pts_ += frame->nb_samples;
        int r = avcodec_send_frame(codec_, frame);
        if (r < 0) return Fail(r);
        for (;;) {
            r = avcodec_receive_packet(codec_, packet_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return Fail(r);
            packet_->stream_index = audio_->index;
            av_packet_rescale_ts(packet_, codec_->time_base, audio_->time_base);
            r = av_write_frame(format_, packet_);
            av_packet_unref(packet_);
            if (r < 0) return Fail(r);
            if (format_->pb->error < 0) return Fail(format_->pb->error);
        }
    }

    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* audio_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    uint32_t channels_ = 2;
    int frameSize_ = 1024;
    int filled_ = 0;
    int64_t pts_ = 0;
    bool headerWritten_ = false;
    bool failed_ = false;
    std::string error_;
    std::string coverNote_;
};

}  // namespace

std::unique_ptr<FfmpegEncoder> OpenM4bEncoder(const M4bOutputFormat& format, std::string& error, bool& createFailed) {
    auto encoder = std::make_unique<M4bEncoder>();
    if (encoder->Open(format, createFailed)) return encoder;
    error = encoder->error();
    return nullptr;
}

}  // namespace velmora
