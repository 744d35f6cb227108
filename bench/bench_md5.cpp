// Throughput of the seeded MD5 digest against OpenSSL's MD5 over 16 KiB buffers, separately and
// interleaved in one benchmark that reports the ratio qzmd5 / OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <time.h>

#include <cstdlib>
#include <vector>

#include "util/md5.h"

namespace {

constexpr unsigned kBufferSize = 16 * 1024;

std::vector<unsigned char> makeBuffer() {
    std::vector<unsigned char> data(kBufferSize);
    unsigned x = 0x9e3779b9u;
    for (unsigned char& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

// One reusable context, so OpenSSL pays only for the digest and not for setting one up.
struct EvpMd5 {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~EvpMd5() { EVP_MD_CTX_free(ctx); }
    EvpMd5(const EvpMd5&) = delete;
    EvpMd5& operator=(const EvpMd5&) = delete;
    EvpMd5() = default;

    void digest(const unsigned char* data, size_t n, unsigned char* out) {
        unsigned outLength = 0;
        if (EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1 ||
            EVP_DigestUpdate(ctx, data, n) != 1 || EVP_DigestFinal_ex(ctx, out, &outLength) != 1) {
            std::abort();
        }
    }
};

void BM_Md5Qz(benchmark::State& state) {
    std::vector<unsigned char> data = makeBuffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qzmd5(data.data(), kBufferSize, 0));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Md5Qz);

void BM_Md5OpenSsl(benchmark::State& state) {
    std::vector<unsigned char> data = makeBuffer();
    EvpMd5 md5;
    unsigned char out[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        md5.digest(data.data(), kBufferSize, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Md5OpenSsl);

// Thread CPU time in seconds: the machine is shared, and wall time would charge either side for
// the time other programs take.
double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Alternates the two digests on the same buffer and times each side on its own, so both see the
// same clock speed and cache state; "ratio" is qzmd5 throughput over OpenSSL throughput.
void BM_Md5QzOverOpenSsl(benchmark::State& state) {
    constexpr int kBatch = 8;
    std::vector<unsigned char> data = makeBuffer();
    EvpMd5 md5;
    unsigned char out[EVP_MAX_MD_SIZE];
    double qzSeconds = 0, sslSeconds = 0;
    for (auto _ : state) {
        const double t0 = cpuSeconds();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(qzmd5(data.data(), kBufferSize, 0));
            benchmark::ClobberMemory();
        }
        const double t1 = cpuSeconds();
        for (int i = 0; i < kBatch; ++i) {
            md5.digest(data.data(), kBufferSize, out);
            benchmark::DoNotOptimize(out);
            benchmark::ClobberMemory();
        }
        const double t2 = cpuSeconds();
        qzSeconds += t1 - t0;
        sslSeconds += t2 - t1;
    }
    const double bytes = static_cast<double>(state.iterations()) * kBatch * kBufferSize;
    if (qzSeconds > 0 && sslSeconds > 0) {
        state.counters["qz_MBps"] = bytes / qzSeconds / 1e6;
        state.counters["openssl_MBps"] = bytes / sslSeconds / 1e6;
        state.counters["ratio"] = sslSeconds / qzSeconds;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * 2);
}
BENCHMARK(BM_Md5QzOverOpenSsl);

}  // namespace

BENCHMARK_MAIN();
