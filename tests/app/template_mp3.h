// One short mono tone made once per test binary, copied under every name a test needs:
// encoding a fresh file per row would dominate the list tests' run time.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "support/mp3_fixtures.h"

namespace velmora::testing {

inline const std::filesystem::path& TemplateMp3() {
    static TempDir dir;
    static const std::filesystem::path path = [] {
        const std::filesystem::path p = dir / "tone.mp3";
        ToneSpec toneSpec;
        toneSpec.channels = 1;
        toneSpec.seconds = 0.3;
        toneSpec.kbps = 64;
        EXPECT_TRUE(MakeToneMp3(p, toneSpec));
        return p;
    }();
    return path;
}

}  // namespace velmora::testing
