// Checksum rates over 100 MiB in memory: CRC-32 (the carry-less road when
// the processor has it, and the table road) against Python's zlib.crc32,
// and SHA-256 against `openssl dgst -sha256` on the same bytes written to a
// file (its time includes reading the file from the page cache, which the
// first of its runs fills). Results are compared before rates are trusted;
// best of three runs each. Python is the interpreter PYTHON names, else the
// one python3 reports as sys.executable.
#include "interpreter/checksum.h"
#include "interpreter/digest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oru;

namespace {

constexpr size_t size = size_t{100} << 20;
constexpr int runs = 3;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string python() {
    if (const char* p = std::getenv("PYTHON")) return p;
    std::string out;
    if (FILE* f = popen("python3 -c 'import sys; print(sys.executable)'", "r")) {
        char line[4096];
        if (std::fgets(line, sizeof line, f)) out = line;
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out.empty() ? "python3" : out;
}

// The first line of a command's output.
std::string output_of(const std::string& command) {
    std::string out;
    if (FILE* f = popen(command.c_str(), "r")) {
        char line[4096];
        if (std::fgets(line, sizeof line, f)) out = line;
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

template <class F>
double best_rate(F f) {
    double best = 1e30;
    for (int r = 0; r < runs; r++) {
        const double t0 = now();
        f();
        best = std::min(best, now() - t0);
    }
    return static_cast<double>(size) / (1 << 20) / best;
}

}  // namespace

int main() {
    std::vector<u8> data(size);
    u32 x = 0x2545F491u;
    for (u8& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<u8>(x);
    }
    char dir[] = "/tmp/oru-checksum-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string file = std::string(dir) + "/data.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<long>(size));

    u32 crc = 0, table_crc = 0;
    const double crc_rate = best_rate([&] { crc = checksum::crc32_fast(0, data.data(), size); });
    const double table_rate = best_rate([&] { table_crc = checksum::crc32(0, data.data(), size); });
    double py_rate = 0;
    unsigned long py_crc = 0;
    std::sscanf(output_of(python() + " " ORU_BENCH_DIR "/checksum_twin.py " + file).c_str(), "%lf %lu", &py_rate,
                &py_crc);

    u8 digest[checksum::max_digest];
    const double sha_rate = best_rate([&] { checksum::hash(data.data(), size, checksum::algorithm::sha256, digest); });
    std::string ours;
    for (int i = 0; i < 32; i++) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", digest[i]);
        ours += h;
    }
    std::string theirs;
    double openssl_best = 1e30;
    for (int r = 0; r < runs + 1; r++) {  // the first run reads the file into the page cache
        const double t0 = now();
        theirs = output_of("openssl dgst -sha256 -r " + file);
        if (r > 0) openssl_best = std::min(openssl_best, now() - t0);
    }
    theirs = theirs.substr(0, theirs.find(' '));
    const double openssl_rate = static_cast<double>(size) / (1 << 20) / openssl_best;

    std::printf("%-30s %10s %10s %8s  %s\n", "checksum (100 MiB)", "oru MB/s", "peer MB/s", "ratio", "result");
    std::printf("%-30s %10.0f %10.0f %8.2f  %s\n",
                checksum::clmul_available() ? "crc32 (carry-less)" : "crc32 (table)", crc_rate, py_rate,
                crc_rate > 0 ? py_rate / crc_rate : 0.0, crc == py_crc ? "same" : "MISMATCH");
    std::printf("%-30s %10.0f %10.0f %8.2f  %s\n", "crc32 (table road)", table_rate, py_rate,
                table_rate > 0 ? py_rate / table_rate : 0.0, table_crc == py_crc ? "same" : "MISMATCH");
    std::printf("%-30s %10.0f %10.0f %8.2f  %s\n", "sha256 (openssl dgst)", sha_rate, openssl_rate,
                sha_rate > 0 ? openssl_rate / sha_rate : 0.0, ours == theirs ? "same" : "MISMATCH");
    std::printf("(ratio: our time over the peer's; below 1 is faster)\n");
    std::remove(file.c_str());
    rmdir(dir);
    return 0;
}
