#include "support/mp3_fixtures.h"

#include <lame/lame.h>
#include <mpg123.h>

#include <algorithm>
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

std::vector<float> SpeechLike(int rate, int channels, double seconds, unsigned seed, double noiseDb) {
    std::mt19937 random(seed);
    const auto uniform = [&](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    const size_t frames = static_cast<size_t>(std::llround(seconds * rate));
    std::vector<double> voice(frames, 0.0);
    double t = 0.05;
    while (t < seconds) {
        for (int syllables = 3 + static_cast<int>(random() % 5); syllables > 0 && t < seconds; --syllables) {
            const double length = uniform(0.12, 0.28), pitch = uniform(95, 210), glide = uniform(-0.2, 0.2);
            const double level = uniform(0.3, 1.0), f1 = uniform(400, 800), f2 = uniform(1000, 2200);
            const bool plosive = random() % 3 == 0;
            const size_t first = static_cast<size_t>(t * rate);
            const size_t count = std::min(frames - std::min(frames, first), static_cast<size_t>(length * rate));
            // Each harmonic with a phase of its own, as a vocal tract leaves them: peaky, but
            // not a bare pulse train.
            std::vector<double> cosines, sines;
            for (int k = 1; k * pitch * (1 + std::max(0.0, glide)) < 4000; ++k) {
                const double offset = uniform(0, 2 * M_PI);
                cosines.push_back(std::cos(offset));
                sines.push_back(std::sin(offset));
            }
            double phase = 0.0;
            for (size_t i = 0; i < count; ++i) {
                const double u = static_cast<double>(i) / static_cast<double>(count);
                const double f0 = pitch * (1.0 + glide * u);
                phase += 2 * M_PI * f0 / rate;
                // cos(k phase + offset) from the powers of e^(i phase).
                const double c1 = std::cos(phase), s1 = std::sin(phase);
                double c = c1, sn = s1, sum = 0.0;
                for (size_t k = 1; k <= cosines.size(); ++k) {
                    const double f = static_cast<double>(k) * f0;
                    const double formants = 0.3 + std::exp(-std::pow((f - f1) / 180, 2)) +
                                            0.7 * std::exp(-std::pow((f - f2) / 300, 2));
                    sum += (c * cosines[k - 1] - sn * sines[k - 1]) * formants / std::sqrt(static_cast<double>(k));
                    const double nc = c * c1 - sn * s1;
                    sn = sn * c1 + c * s1;
                    c = nc;
                }
                // Smooth 15 ms onset and 40 ms fade (raised cosines), a slow decay between.
                const double at = static_cast<double>(i) / rate, left = static_cast<double>(count - i) / rate;
                const double rise = at < 0.015 ? 0.5 - 0.5 * std::cos(M_PI * at / 0.015) : 1.0;
                const double fall = left < 0.04 ? 0.5 - 0.5 * std::cos(M_PI * left / 0.04) : 1.0;
                voice[first + i] += level * rise * fall * (1.0 - 0.4 * u) * sum;
            }
            // A burst of noise below about 3 kHz (three one-pole low-passes), as a plosive's is.
            double stages[3] = {};
            const double pole = 1.0 - std::exp(-2 * M_PI * 3000.0 / rate);
            if (plosive)
                for (size_t i = 0; i < static_cast<size_t>(0.008 * rate) && first + i < frames; ++i) {
                    stages[0] += pole * (std::normal_distribution<double>(0.0, 1.0)(random) - stages[0]);
                    stages[1] += pole * (stages[0] - stages[1]);
                    stages[2] += pole * (stages[1] - stages[2]);
                    const double at = static_cast<double>(i) / rate;
                    voice[first + i] += level * 16.0 * (1.0 - std::exp(-at / 0.0004)) * std::exp(-at / 0.002) * stages[2];
                }
            t += length + uniform(0.03, 0.09);
        }
        t += uniform(0.6, 1.0);
    }
    double peak = 1e-9;
    for (const double v : voice) peak = std::max(peak, std::fabs(v));
    std::normal_distribution<double> noise(0.0, std::pow(10.0, noiseDb / 20.0));
    std::vector<float> out(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
                static_cast<float>(voice[i] / peak * (c == 0 ? 0.98 : 0.9) + noise(random));
    return out;
}

bool EncodeMp3(const std::filesystem::path& path, const std::vector<float>& interleaved, int rate, int channels,
               int kbps) {
    lame_global_flags* gf = lame_init();
    if (!gf) return false;
    lame_set_in_samplerate(gf, rate);
    lame_set_out_samplerate(gf, rate);
    lame_set_num_channels(gf, channels);
    lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(gf, kbps);
    lame_set_VBR(gf, vbr_off);
    lame_set_quality(gf, 7);
    FILE* f = lame_init_params(gf) < 0 ? nullptr : std::fopen(path.c_str(), "w+b");
    if (!f) {
        lame_close(gf);
        return false;
    }
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    std::vector<short> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            const float v = std::clamp(interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)], -1.0f, 1.0f);
            (c == 0 ? left : right)[i] = static_cast<short>(std::lrint(v * 32767.0f));
        }
    std::vector<unsigned char> out(frames * 5 / 4 + 7200);
    int bytes = lame_encode_buffer(gf, left.data(), channels == 2 ? right.data() : left.data(), static_cast<int>(frames),
                                   out.data(), static_cast<int>(out.size()));
    bool ok = bytes >= 0 && std::fwrite(out.data(), 1, static_cast<size_t>(bytes), f) == static_cast<size_t>(bytes);
    bytes = ok ? lame_encode_flush(gf, out.data(), static_cast<int>(out.size())) : -1;
    ok = bytes >= 0 && std::fwrite(out.data(), 1, static_cast<size_t>(bytes), f) == static_cast<size_t>(bytes);
    if (ok) lame_mp3_tags_fid(gf, f);
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
