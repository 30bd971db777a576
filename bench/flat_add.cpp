// Times Flat::append_rows of float32 rows into float32 storage, as a user's
// add would run it, on 1 and more threads, and reports what the index holds
// per row. The rows come from a file of float32 values (row after row), so
// that a peer can be timed on the very same rows in the same sitting
// (bench/flat_add.py runs both).
//
//   flat_add ROWS_FILE DIM [THREADS...]
// prints one line per run: "orbisk threads=T seconds=S bytes_per_row=B".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/cpu.h"
#include "flat/flat_index.h"

using namespace orbisk;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROWS_FILE DIM [THREADS...]\n", argv[0]);
        return 2;
    }
    const auto dim = static_cast<std::uint32_t>(std::atoi(argv[2]));
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    const std::size_t n = bytes / (sizeof(float) * dim);
    std::vector<float> rows(n * dim);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(rows.data()), static_cast<std::streamsize>(n * dim * sizeof(float)));
    std::vector<unsigned> threads;
    for (int i = 3; i < argc; ++i) threads.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (threads.empty()) threads = {1, 2};
    for (unsigned t : threads) {
        Flat flat(dim, MetricKind::Euclidean, Storage::Float32);
        const auto start = std::chrono::steady_clock::now();
        flat.append_rows(rows.data(), n, {}, t);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("orbisk threads=%u seconds=%.4f bytes_per_row=%.1f tables=%s\n", t, seconds,
                    static_cast<double>(flat.bytes()) / static_cast<double>(n), isa_name(best_isa()));
        std::fflush(stdout);
    }
}
