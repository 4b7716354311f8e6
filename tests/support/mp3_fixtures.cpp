#include "support/mp3_fixtures.h"

#include <lame/lame.h>
#include <mpg123.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <random>

namespace velmora::testing {

bool MakeToneMp3(const std::filesystem::path& path, const ToneSpec& toneSpec) {
    lame_global_flags* gf = lame_init();
    if (!gf) return false;
    lame_set_in_samplerate(gf, toneSpec.rate);
    lame_set_out_samplerate(gf, toneSpec.rate);
    lame_set_num_channels(gf, toneSpec.channels);
    lame_set_mode(gf, toneSpec.channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(gf, toneSpec.kbps);
    lame_set_VBR(gf, toneSpec.vbrQuality >= 0 ? vbr_default : vbr_off);
    if (toneSpec.vbrQuality >= 0) lame_set_VBR_q(gf, toneSpec.vbrQuality);
    lame_set_quality(gf, 7);
    lame_set_bWriteVbrTag(gf, toneSpec.infoTag ? 1 : 0);
    if (lame_init_params(gf) < 0) {
        std::fprintf(stderr, "MakeToneMp3: lame_init_params failed for %d Hz %d ch %d kbps\n",
                     toneSpec.rate, toneSpec.channels, toneSpec.kbps);
        lame_close(gf);
        return false;
    }
    FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) {
        lame_close(gf);
        return false;
    }
    const size_t frames = static_cast<size_t>(std::llround(toneSpec.seconds * toneSpec.rate));
    const size_t block = 4096;
    std::vector<short> left(block), right(block);
    std::vector<unsigned char> out(block * 5 / 4 + 7200);
    bool ok = true;
    for (size_t done = 0; done < frames && ok;) {
        const size_t n = std::min(block, frames - done);
        for (size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(done + i) / toneSpec.rate;
            const double on = toneSpec.burstEvery > 0 && std::fmod(t, toneSpec.burstEvery) >= toneSpec.burstOn ? 0.0 : 1.0;
            left[i] = static_cast<short>(on * toneSpec.amplitude * std::sin(2 * M_PI * toneSpec.frequency * t));
            right[i] = static_cast<short>(on * toneSpec.amplitude * std::sin(2 * M_PI * toneSpec.frequency * 1.5 * t));
        }
        const int bytes = lame_encode_buffer(gf, left.data(), toneSpec.channels == 2 ? right.data() : left.data(),
                                             static_cast<int>(n), out.data(), static_cast<int>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, bytes, f) == static_cast<size_t>(bytes);
        done += n;
    }
    if (ok) {
        const int bytes = lame_encode_flush(gf, out.data(), static_cast<int>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, bytes, f) == static_cast<size_t>(bytes);
    }
    if (ok && toneSpec.infoTag) lame_mp3_tags_fid(gf, f);
    std::fclose(f);
    lame_close(gf);
    return ok;
}

DecodedMp3 DecodeMp3(const std::filesystem::path& path) {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
    DecodedMp3 d;
    mpg123_handle* mh = mpg123_new(nullptr, nullptr);
    if (!mh) return d;
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0);
    if (mpg123_open(mh, path.c_str()) != MPG123_OK) {
        mpg123_delete(mh);
        return d;
    }
    int enc = 0;
    int channels = 0;
    long rate = 0;
    if (mpg123_getformat(mh, &rate, &channels, &enc) != MPG123_OK) {
        mpg123_close(mh);
        mpg123_delete(mh);
        return d;
    }
    mpg123_format_none(mh);
    mpg123_format(mh, rate, channels, MPG123_ENC_SIGNED_16);
    d.rate = rate;
    d.channels = channels;
    std::vector<unsigned char> buf(65536);
    for (;;) {
        size_t got = 0;
        const int err = mpg123_read(mh, buf.data(), buf.size(), &got);
        const auto* s = reinterpret_cast<const int16_t*>(buf.data());
        d.samples.insert(d.samples.end(), s, s + got / 2);
        if (err == MPG123_DONE) {
            d.ok = true;
            break;
        }
        if (err != MPG123_OK && err != MPG123_NEW_FORMAT) break;
    }
    mpg123_close(mh);
    mpg123_delete(mh);
    return d;
}

double EstimateFrequency(const DecodedMp3& d, size_t firstFrame, size_t frameCount, int channel) {
    if (d.channels == 0 || d.rate == 0) return 0;
    size_t crossings = 0;
    const size_t end = std::min(d.frames(), firstFrame + frameCount);
    for (size_t i = firstFrame + 1; i < end; ++i) {
        const int a = d.samples[(i - 1) * d.channels + channel];
        const int b = d.samples[i * d.channels + channel];
        if ((a < 0 && b >= 0) || (a >= 0 && b < 0)) ++crossings;
    }
    const double seconds = static_cast<double>(end - firstFrame) / d.rate;
    return seconds > 0 ? crossings / 2.0 / seconds : 0;
}

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("velmora-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace velmora::testing
