// The update installer on hostile files. The masters' description is taken from the input's
// own header, so that the fuzzer gets past the header checks to the inflating and the later
// checks. Nothing may be written unless the signature holds, which the fuzzer cannot forge.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "remote/install.h"
#include "tmpdir.h"
#include "util/md5.h"

namespace {

const std::string& dir() { return qzfuzz::makeRunDirectory("qzfuzzinstall-"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string source = dir() + "/in.upd";
    std::string target = dir() + "/qzsvnew.so";
    FILE* fp = fopen(source.c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);
    stQzFileInfo e{};
    char head[600];
    size_t n = size < sizeof head - 1 ? size : sizeof head - 1;
    memcpy(head, data, n);
    head[n] = 0;
    unsigned long raw = 0;
    char digest[40] = "";
    if (sscanf(head, "<p> U S L %d %lu %39s", &e.number, &raw, digest) == 3) {
        e.value = static_cast<uint32_t>(raw);
        snprintf(e.digest1, sizeof e.digest1, "%s", digest);
    }
    snprintf(e.digest2, sizeof e.digest2, "%s",
             qzmd5(data, static_cast<unsigned>(size), static_cast<unsigned>(e.number)));
    static const unsigned char key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const char* error = nullptr;
    int res = qzInstall(source.c_str(), target.c_str(), 'S', 'L', &e, key, &error);
    if (res == QZ_INST_INSTALLED) abort();  // no valid signature can come from the fuzzer
    if (access(target.c_str(), F_OK) == 0) abort();
    unlink(source.c_str());

    // The same bytes as a transfer's data, taken a few bytes a step as frames take them: they
    // claim to inflate to an update file of a size read from their last bytes.
    if (size >= 4) {
        unsigned long fileSize =
            (static_cast<unsigned long>(data[size - 1]) << 8 | data[size - 2]) + 1;
        unsigned long step = static_cast<unsigned long>(data[size - 3] % 64) + 1;
        char* copy = static_cast<char*>(malloc(size));
        if (!copy) return 0;
        memcpy(copy, data, size);
        stQzInstall* job = qzInstallStart(copy, size, fileSize, target.c_str(), 'S', 'L', &e, key);
        if (!job) return 0;
        int guard = 0;
        while ((res = qzInstallStep(job, 0, step, &error)) == QZ_INST_RUNNING) {
            if (++guard > 1000000) abort();  // a step that makes no progress
        }
        qzInstallFree(job);
        if (res == QZ_INST_INSTALLED) abort();
        if (access(target.c_str(), F_OK) == 0) abort();
    }
    return 0;
}
