// The fuzz targets' input file: one per process, named with the extension the code under test
// goes by, rewritten with every input and removed at exit.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::fuzzing {

inline const std::string& InputFilePath(const std::string& extension) {
    static const std::string path = [&extension] {
        char name[] = "/tmp/velmora-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        std::string p = std::string(name) + extension;
        if (std::rename(name, p.c_str()) != 0) std::abort();
        std::atexit([] { std::remove(path.c_str()); });
        return p;
    }();
    return path;
}

// The input's bytes as the file's whole content; its path.
inline const std::string& WriteInputFile(const uint8_t* data, size_t size, const std::string& extension) {
    const std::string& path = InputFilePath(extension);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

}  // namespace velmora::fuzzing
