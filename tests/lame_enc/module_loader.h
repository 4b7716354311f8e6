// Loads lame_enc.so (or a test variant of it) from the test binary's own folder with dlopen,
// as the engine does, and resolves the entry points.
#pragma once

#include "lame_enc/bladeenc.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace velmora::testing {

inline std::filesystem::path ExecutableFolder() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

struct EncoderModule {
    void* handle = nullptr;
    bladeenc::BeInitStreamFn init = nullptr;
    bladeenc::BeEncodeChunkFloatS16NIFn encode = nullptr;
    bladeenc::BeDeinitStreamFn deinit = nullptr;
    bladeenc::BeCloseStreamFn close = nullptr;
    bladeenc::BeWriteInfoTagFn writeInfoTag = nullptr;
    bladeenc::BeWriteVBRHeaderFn writeVbrHeader = nullptr;

    explicit EncoderModule(const std::string& fileName = bladeenc::kModuleFileName) {
        handle = dlopen((ExecutableFolder() / fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        init = reinterpret_cast<bladeenc::BeInitStreamFn>(dlsym(handle, "beInitStream"));
        encode = reinterpret_cast<bladeenc::BeEncodeChunkFloatS16NIFn>(dlsym(handle, "beEncodeChunkFloatS16NI"));
        deinit = reinterpret_cast<bladeenc::BeDeinitStreamFn>(dlsym(handle, "beDeinitStream"));
        close = reinterpret_cast<bladeenc::BeCloseStreamFn>(dlsym(handle, "beCloseStream"));
        writeInfoTag = reinterpret_cast<bladeenc::BeWriteInfoTagFn>(dlsym(handle, "beWriteInfoTag"));
        writeVbrHeader = reinterpret_cast<bladeenc::BeWriteVBRHeaderFn>(dlsym(handle, "beWriteVBRHeader"));
    }
    ~EncoderModule() {
        if (handle) dlclose(handle);
    }
    EncoderModule(const EncoderModule&) = delete;
    EncoderModule& operator=(const EncoderModule&) = delete;

    // beInitStream with the 15 trailing arguments the program passes.
    bladeenc::BE_ERR Init(bladeenc::BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                          bladeenc::HBE_STREAM* stream) const {
        static const wchar_t empty[] = L"";
        return init(config, samples, bufferSize, stream, 0, 0, empty, empty, empty, empty, empty, empty, empty, 0,
                    0, 30, 5, 15160, 750);
    }
};

}  // namespace velmora::testing
