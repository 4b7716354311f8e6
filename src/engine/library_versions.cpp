#include "engine/library_versions.h"

#include <dlfcn.h>
#include <mpg123.h>
#include <sox.h>
#include <taglib/taglib.h>

#include <cstdio>

#include "engine/audio_source.h"
#include "engine/encoder.h"
#include "lame_enc/bladeenc.h"

namespace velmora {

namespace {

std::string Mpg123Version() {
#if MPG123_API_VERSION >= 48
    return mpg123_distversion(nullptr, nullptr, nullptr);
#else
    // Before 1.32 the library cannot tell its release; the Debian package keeps one ABI.
    return VELMORA_MPG123_VERSION;
#endif
}

std::string TagLibVersion() {
    // TagLib 1.x tells its version only at build time.
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", TAGLIB_MAJOR_VERSION, TAGLIB_MINOR_VERSION, TAGLIB_PATCH_VERSION);
    return text;
}

std::string LameVersion() {
    // The module stays loaded, as the encoder stage keeps it.
    void* library = dlopen((EncoderModuleFolder() + "/" + bladeenc::kModuleFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    auto version = library ? reinterpret_cast<bladeenc::BeVersionFn>(dlsym(library, "beVersion")) : nullptr;
    if (!version) return {};
    bladeenc::BE_VERSION v{};
    version(&v);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u", static_cast<unsigned>(v.byMajorVersion), static_cast<unsigned>(v.byMinorVersion));
    return text;
}

}  // namespace

std::vector<LibraryVersion> EngineLibraryVersions() {
    return {{"libmpg123", Mpg123Version()},
            {"SoX", sox_version()},
            {"TagLib", TagLibVersion()},
            {"LAME", LameVersion()},
            {"FFmpeg", FfmpegVersion()}};
}

}  // namespace velmora
