// The graph core without the interpreter: builds a graph from rows in a .npy
// file, then answers the queries of another one at several ef, one query per
// call on one thread, and prints per ef recall@10 against the exact ids
// given, queries per second and what one walk did on average. One-thread
// figures count the thread's own time, not the time it waited for a core. For the
// benchmark script (bench/graph_bench.py) and for profiling (`perf record`).
// Usage: graph_walk ROWS.npy QUERIES.npy TRUTH.npy METRIC THREADS EF[,EF...]|none
//                   [m=16] [ef_construction=200] [isa=best] [filter=1.0]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/graph.h"

using namespace orbisk;
using Clock = std::chrono::steady_clock;

namespace {

struct Array {
    std::vector<double> values;
    std::vector<std::int64_t> ids;
    std::size_t rows = 0, cols = 1;
};

// A C-ordered 1-d or 2-d array of <f8, <f4, <i8 or <i4.
Array load_npy(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    char magic[8];
    if (!f.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error(path + ": not .npy");
    std::uint32_t header_len = 0;
    if (magic[6] == 1) {
        std::uint16_t h;
        f.read(reinterpret_cast<char*>(&h), 2);
        header_len = h;
    } else {
        f.read(reinterpret_cast<char*>(&header_len), 4);
    }
    std::string header(header_len, ' ');
    f.read(header.data(), header_len);
    if (header.find("'fortran_order': False") == std::string::npos) throw std::runtime_error(path + ": Fortran order");
    const auto d = header.find("'descr': '") + 10;
    const std::string descr = header.substr(d, header.find('\'', d) - d);
    const auto s = header.find('(', header.find("'shape'")) + 1;
    std::stringstream shape(header.substr(s, header.find(')', s) - s));
    Array a;
    char comma;
    shape >> a.rows;
    if (shape >> comma && shape >> a.cols) {
    } else {
        a.cols = 1;
    }
    const std::size_t n = a.rows * a.cols;
    auto read_as = [&]<class T>(std::vector<T>& raw) { f.read(reinterpret_cast<char*>(raw.data()), n * sizeof(T)); };
    if (descr == "<f8") {
        a.values.resize(n);
        read_as(a.values);
    } else if (descr == "<f4") {
        std::vector<float> raw(n);
        read_as(raw);
        a.values.assign(raw.begin(), raw.end());
    } else if (descr == "<i8") {
        a.ids.resize(n);
        read_as(a.ids);
    } else if (descr == "<i4") {
        std::vector<std::int32_t> raw(n);
        read_as(raw);
        a.ids.assign(raw.begin(), raw.end());
    } else {
        throw std::runtime_error(path + ": dtype " + descr);
    }
    if (!f) throw std::runtime_error(path + ": short file");
    return a;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

/// Seconds this thread has run: on a machine shared with other work, the
/// time a one-thread measurement took without the time it waited.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s ROWS QUERIES TRUTH METRIC THREADS EF[,EF...] [m] [efc] [isa] [filter]\n",
                     argv[0]);
        return 2;
    }
    const Array rows = load_npy(argv[1]), truth = load_npy(argv[3]);
    Array queries = load_npy(argv[2]);
    GraphParams p;
    p.dim = static_cast<std::uint32_t>(rows.cols);
    p.metric = *metric_named(argv[4]);
    // Results rank by the metric's value, smallest first: a user asking for
    // the rows most like q under a product asks with -q, and so do we.
    if (p.metric != MetricKind::Euclidean) {
        for (double& x : queries.values) x = -x;
    }
    const unsigned threads = static_cast<unsigned>(std::atoi(argv[5]));
    std::vector<std::uint32_t> efs;
    for (std::stringstream list(argv[6]); list.good() && std::string(argv[6]) != "none";) {
        std::string e;
        std::getline(list, e, ',');
        efs.push_back(static_cast<std::uint32_t>(std::stoul(e)));
    }
    if (argc > 7) p.m = static_cast<std::uint32_t>(std::atoi(argv[7]));
    if (argc > 8) p.ef_construction = static_cast<std::uint32_t>(std::atoi(argv[8]));
    if (argc > 9 && std::string(argv[9]) != "best") {
        for (Isa isa : supported_isas()) {
            if (argv[9] == std::string(isa_name(isa))) p.isa = isa;
        }
    }
    const double admit = argc > 10 ? std::atof(argv[10]) : 1.0;
    std::printf("{\"kernels\": \"%s\", \"rows\": %zu, \"dim\": %zu, \"queries\": %zu, \"threads\": %u", isa_name(p.isa),
                rows.rows, rows.cols, queries.rows, threads);
    Graph g(p);
    auto start = Clock::now();
    double cpu = thread_seconds();
    g.add(rows.values.data(), rows.rows, threads);
    const double build = seconds_since(start);
    cpu = thread_seconds() - cpu;
    // One thread: its own time; several: the wall's.
    std::printf(", \"build_s\": %.3f, \"build_wall_s\": %.3f, \"bytes\": %zu, \"row_bytes\": %zu",
                threads == 1 ? cpu : build, build, g.bytes(), rows.values.size() * 8);
    // A filter admitting the rows whose id hashes below `admit`: the truth
    // must then be of that filter (the script computes it).
    std::vector<std::uint64_t> bits((rows.rows + 63) / 64, 0);
    std::size_t admitted = 0;
    for (std::size_t id = 0; id < rows.rows; ++id) {
        if ((id * 0x9E3779B97F4A7C15ull >> 40) < static_cast<std::uint64_t>(admit * double(1ull << 24))) {
            bits[id / 64] |= std::uint64_t{1} << (id % 64);
            ++admitted;
        }
    }
    const RowSet set{0, rows.rows, admit < 1.0 ? bits.data() : nullptr, admit < 1.0 ? admitted : rows.rows};
    std::printf(", \"admitted\": %zu, \"runs\": [", admitted);
    std::vector<Candidate> out;
    const std::size_t k = std::min<std::size_t>(10, truth.cols);
    for (std::size_t e = 0; e < efs.size(); ++e) {
        WalkCounts counts;
        std::size_t hits = 0;
        double best = 1e300;
        for (int pass = 0; pass < 3; ++pass) {
            const double began = thread_seconds();
            for (std::size_t i = 0; i < queries.rows; ++i) {
                g.search(Vec(queries.values.data() + i * queries.cols, queries.cols), static_cast<std::uint32_t>(k),
                         efs[e], &set, out, pass == 0 ? &counts : nullptr);
                if (pass != 0) continue;
                for (std::size_t j = 0; j < out.size(); ++j) {
                    const std::int64_t* t = truth.ids.data() + i * truth.cols;
                    hits += std::count(t, t + k, static_cast<std::int64_t>(out[j].id));
                }
            }
            best = std::min(best, thread_seconds() - began);
        }
        const double q = static_cast<double>(queries.rows);
        double scan_qps = 0;
        if (admit < 1.0 && e == 0) {
            // The exact scan of the same set, for the switch point.
            start = Clock::now();
            for (std::size_t i = 0; i < queries.rows; ++i) {
                g.scan(Vec(queries.values.data() + i * queries.cols, queries.cols), static_cast<std::uint32_t>(k), set,
                       out);
            }
            scan_qps = static_cast<double>(queries.rows) / seconds_since(start);
        }
        if (scan_qps > 0) std::printf("%s{\"scan_qps\": %.1f}", e ? ", " : "", scan_qps);
        std::printf(
            "%s{\"ef\": %u, \"recall\": %.4f, \"qps\": %.1f, \"expanded\": %.1f, \"coded\": %.1f, \"exact\": %.1f, "
            "\"lines\": %.1f}",
            e || scan_qps > 0 ? ", " : "", efs[e], static_cast<double>(hits) / (q * static_cast<double>(k)), q / best,
            static_cast<double>(counts.expanded) / q, static_cast<double>(counts.coded) / q,
            static_cast<double>(counts.exact) / q, static_cast<double>(counts.lines) / q);
        std::fflush(stdout);
    }
    std::printf("]}\n");
}
