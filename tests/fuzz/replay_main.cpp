// Replays a fuzz target's corpus without libFuzzer, so that every CI build
// (normal, collector stress, sanitizers) runs it: each file named on the
// command line, and each file of each directory named, is fed once to the
// target's LLVMFuzzerTestOneInput, in name order. A finding aborts or is
// reported by the sanitizers, as under the fuzzer; otherwise the exit status
// is 0, or 1 when a path could not be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    int status = 0;
    for (int i = 1; i < argc; i++) {
        std::error_code err;
        const fs::path p = argv[i];
        if (fs::is_directory(p, err)) {
            for (const auto& e : fs::directory_iterator(p, err))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::is_regular_file(p, err)) {
            files.push_back(p);
        } else {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            status = 1;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            status = 1;
            continue;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return status;
}
