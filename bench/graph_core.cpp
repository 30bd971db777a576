// Times the graph core without the interpreter: build, then searches, on
// clustered data like bench.py's. For profiling (`perf record`) and for
// comparing two builds of the core on one machine in one sitting.
// Usage: graph_core [n] [dim] [queries] [passes]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "flat/flat_index.h"
#include "hnsw/graph.h"

using namespace orbisk;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const std::size_t dim = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
    const std::size_t queries = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
    const int passes = argc > 4 ? std::atoi(argv[4]) : 5;
    std::mt19937_64 rng(20240601);
    std::normal_distribution<double> normal;
    std::vector<std::vector<double>> centres(64, std::vector<double>(dim));
    for (auto& c : centres)
        for (double& x : c) x = normal(rng);
    auto point = [&] {
        std::vector<double> v = centres[rng() % centres.size()];
        for (double& x : v) x += 0.5 * normal(rng);
        return v;
    };
    Rows data, probes;
    for (std::size_t i = 0; i < n; ++i) data.append(point());
    for (std::size_t i = 0; i < queries; ++i) probes.append(point());

    HNSWParams p;
    p.dim = static_cast<std::uint32_t>(dim);
    HNSW graph(p);
    Rng levels(7);
    auto start = Clock::now();
    if (graph.create(data, {}, levels)) return 1;
    const double build = seconds_since(start);

    Flat flat(static_cast<std::uint32_t>(dim), MetricKind::Euclidean);
    flat.create(data);
    std::vector<Candidate> out;
    double best_graph = 1e300, best_flat = 1e300;
    for (int pass = 0; pass < passes; ++pass) {
        start = Clock::now();
        for (std::size_t i = 0; i < queries; ++i) graph.search(probes[i], 10, nullptr, out);
        best_graph = std::min(best_graph, seconds_since(start) / queries);
        start = Clock::now();
        for (std::size_t i = 0; i < queries; ++i) flat.search(probes[i], 10, out);
        best_flat = std::min(best_flat, seconds_since(start) / queries);
    }
    std::printf("n %zu dim %zu: build %.3f s, search %.1f us (flat %.1f us, ratio %.2f), links %.1f MiB\n", n, dim,
                build, best_graph * 1e6, best_flat * 1e6, best_graph / best_flat, graph.link_bytes() / 1048576.0);
}
