// Times Flat::append_rows of float32 rows into float32 storage, as a user's
// add would run it, on 1 and more threads, and reports what the index holds
// per row; then one query at a time (k = 10, one thread) over the same rows
// kept as float32 and as float64. The rows come from a file of float32
// values (row after row), so that a peer can be timed on the very same rows
// in the same sitting (bench/flat_add.py runs both).
//
//   flat_add ROWS_FILE DIM [THREADS...]
// prints one line per add: "orbisk threads=T seconds=S bytes_per_row=B
// tables=NAME", then "search float32=S float64=S" (seconds per query).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/cpu.h"
#include "flat/flat_index.h"

using namespace orbisk;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

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
        std::printf("orbisk threads=%u seconds=%.4f bytes_per_row=%.1f tables=%s\n", t, seconds_since(start),
                    static_cast<double>(flat.bytes()) / static_cast<double>(n), isa_name(best_isa()));
        std::fflush(stdout);
    }
    // Queries: rows of the file, each nudged off its row so that it is not
    // found at distance 0 at once.
    const std::size_t queries = 100;
    std::vector<double> q(queries * dim);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] = static_cast<double>(rows[(i * 7919) % rows.size()]) + 0.01;
    double per_query[2];
    for (Storage storage : {Storage::Float32, Storage::Float64}) {
        Flat flat(dim, MetricKind::Euclidean, storage);
        flat.append_rows(rows.data(), n, {}, 2);
        std::vector<Candidate> out;
        double best = 1e300;
        for (int pass = 0; pass < 3; ++pass) {
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t i = 0; i < queries; ++i) (void)flat.search(Vec(q.data() + i * dim, dim), 10, out);
            best = std::min(best, seconds_since(start) / queries);
        }
        per_query[storage == Storage::Float64] = best;
    }
    std::printf("search float32=%.6f float64=%.6f\n", per_query[0], per_query[1]);
}
