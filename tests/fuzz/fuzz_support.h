// Shared by the fuzz targets.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// A failed property ends the run like a crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// A fresh directory under $TMPDIR (scripts/fuzz.sh points it at its scratch
// directory, which it removes), else under /dev/shm or /tmp.
inline std::string fuzz_scratch_dir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && tmp[0] ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = base + "/stravon-fuzz-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    return dir;
}
