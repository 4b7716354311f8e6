#include "support/m4b_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace velmora::testing {

ReadM4b ReadM4bFile(const std::filesystem::path& path) {
    ReadM4b m;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        m.error = "cannot open";
        avformat_close_input(&format);
        return m;
    }
    m.container = format->iformat->name;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(format->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) m.tags[e->key] = e->value;
    for (unsigned i = 0; i < format->nb_chapters; ++i) {
        const AVChapter* c = format->chapters[i];
        const AVDictionaryEntry* t = av_dict_get(c->metadata, "title", nullptr, 0);
        m.chapters.push_back({c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base), t ? t->value : ""});
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        m.error = "no audio";
        avformat_close_input(&format);
        return m;
    }
    const AVStream* st = format->streams[index];
    m.codec = avcodec_get_name(st->codecpar->codec_id);
    m.profile = st->codecpar->profile;
    m.rate = st->codecpar->sample_rate;
    m.channels = st->codecpar->ch_layout.nb_channels;
    m.indexFrames = av_rescale_q(st->duration, st->time_base, AVRational{1, m.rate});
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, st->codecpar);
    dec->pkt_timebase = st->time_base;
    SwrContext* swr = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = avcodec_open2(dec, codec, nullptr) >= 0 &&
              swr_alloc_set_opts2(&swr, &dec->ch_layout, AV_SAMPLE_FMT_S16, m.rate, &dec->ch_layout, dec->sample_fmt,
                                  m.rate, 0, nullptr) >= 0 &&
              swr_init(swr) >= 0;
    auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) == 0) {
            const size_t at = m.samples.size();
            m.samples.resize(at + static_cast<size_t>(frame->nb_samples * m.channels));
            auto* out = reinterpret_cast<uint8_t*>(m.samples.data() + at);
            const int n = swr_convert(swr, &out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                                      frame->nb_samples);
            m.samples.resize(at + static_cast<size_t>(std::max(n, 0) * m.channels));
        }
    };
    while (ok && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(dec, packet) < 0) ok = false;
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    m.ok = ok;
    if (!ok) m.error = "cannot decode";
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&format);
    return m;
}

double M4bFrequency(const ReadM4b& m, size_t firstFrame, size_t frameCount) {
    const size_t ch = static_cast<size_t>(m.channels);
    size_t crossings = 0;
    for (size_t i = firstFrame + 1; i < firstFrame + frameCount && i < m.frames(); ++i)
        if ((m.samples[(i - 1) * ch] < 0) != (m.samples[i * ch] < 0)) ++crossings;
    return frameCount ? crossings * m.rate / 2.0 / static_cast<double>(frameCount) : 0;
}

}  // namespace velmora::testing
