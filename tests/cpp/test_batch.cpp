// A batch of queries on several threads: every row the per-query search's,
// the same bits for every thread count, and a stop asked for between queries.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#if defined(__unix__)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "common/interrupt.h"
#include "common/pool.h"
#include "each_table.h"
#include "flat/batch.h"
#include "flat/flat_index.h"

using namespace orbisk;

namespace {

using V = std::vector<double>;

/// Rows with ties everywhere: few distinct values, duplicates, zero rows
/// and, where asked, NaN.
V tied_rows(std::size_t n, std::size_t dim, std::uint32_t seed, bool with_nan) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> value(-2, 2);
    V data(n * dim);
    for (double& x : data) x = value(gen);
    for (std::size_t r = 0; r < n; r += 7) std::fill_n(data.begin() + r * dim, dim, 0.0);
    for (std::size_t r = 3; r < n; r += 11) std::copy_n(data.begin(), dim, data.begin() + r * dim);
    if (with_nan && n > 5) data[5 * dim] = std::numeric_limits<double>::quiet_NaN();
    return data;
}

V gaussian(std::size_t n, std::size_t dim, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> d;
    V data(n * dim);
    for (double& x : data) x = d(gen);
    return data;
}

struct Answer {
    std::vector<std::int64_t> ids;
    std::vector<double> distances;
};

Answer batch(const Flat& f, const V& queries, std::uint32_t k, unsigned threads, Poll poll = {}) {
    const std::size_t m = queries.size() / f.dim();
    const std::size_t width = batch_width(f, k);
    Answer a{std::vector<std::int64_t>(m * width, -7), std::vector<double>(m * width, -7.0)};
    search_on_threads(f, queries.data(), m, k, a.ids.data(), a.distances.data(), threads, poll);
    return a;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

using Case = std::tuple<MetricKind, std::size_t /*rows*/, std::uint32_t /*k*/, bool /*tied*/, std::size_t /*dim*/>;

class Batch : public ::testing::TestWithParam<std::tuple<Case, Isa>> {};

TEST_P(Batch, EveryRowIsThePerQuerySearchForEveryThreadCount) {
    const auto [c, isa] = GetParam();
    const auto [metric, n, k, tied, dim] = c;
    Flat f(dim, metric, isa);
    const V rows = tied ? tied_rows(n, dim, 1, true) : gaussian(n, dim, 1);
    f.append_rows(rows.data(), n);
    // 37 queries: no multiple of any thread count but one; some are rows.
    // Short rows take 300: tiles of many queries, whose chunks are cut short.
    const std::size_t m = dim < 8 ? 300 : 37;
    V queries = tied ? tied_rows(m, dim, 2, false) : gaussian(m, dim, 2);
    std::copy_n(rows.begin(), std::min<std::size_t>(3, n) * dim, queries.begin() + 10 * dim);
    const std::size_t width = batch_width(f, k);
    ASSERT_EQ(width, std::min<std::size_t>(k, n));

    const Answer one = batch(f, queries, k, 1);
    for (std::size_t i = 0; i < m; ++i) {
        std::vector<Candidate> want;
        ASSERT_FALSE(f.search(Vec(queries.data() + i * dim, dim), k, want));
        for (std::size_t j = 0; j < width; ++j) {
            ASSERT_EQ(one.ids[i * width + j], want[j].id) << "query " << i << " rank " << j;
            ASSERT_TRUE(same_bits(one.distances[i * width + j], want[j].distance)) << "query " << i << " rank " << j;
        }
    }
    for (unsigned threads = 2; threads <= 8; ++threads) {
        const Answer many = batch(f, queries, k, threads);
        EXPECT_EQ(many.ids, one.ids) << threads << " threads";
        EXPECT_TRUE(one.distances.empty() ||  // k = 0: no columns, and no data to compare
                    std::memcmp(many.distances.data(), one.distances.data(), one.distances.size() * sizeof(double)) ==
                        0)
            << threads << " threads";
    }
}

std::vector<Case> cases() {
    std::vector<Case> out;
    for (MetricKind m : {MetricKind::Euclidean, MetricKind::Dot, MetricKind::Cosine}) {
        out.emplace_back(m, 1, 1, false, 19);      // one row
        out.emplace_back(m, 5, 10, false, 19);     // k beyond the rows
        out.emplace_back(m, 300, 0, false, 19);    // k = 0: no columns
        out.emplace_back(m, 1000, 10, false, 19);  // screened scans, one chunk of codes
        out.emplace_back(m, 1000, 200, true, 19);  // ties, duplicates, zero rows, NaN
        // Chunks of 384 rows: two whole chunks, a part and the open block.
        out.emplace_back(m, 1000, 10, false, 64);
        out.emplace_back(m, 1000, 60, true, 64);
        out.emplace_back(m, 3000, 10, false, 3);  // chunks cut to bound the products of 256 queries
    }
    return out;
}

std::string case_name(const Case& c) {
    const char* names[] = {"euclidean", "dot", "cosine"};
    return std::string(names[static_cast<int>(std::get<0>(c))]) + "_dim" + std::to_string(std::get<4>(c)) + "_rows" +
           std::to_string(std::get<1>(c)) + "_k" + std::to_string(std::get<2>(c)) + (std::get<3>(c) ? "_tied" : "");
}

INSTANTIATE_TEST_SUITE_P(Tables, Batch, on_each_table(cases()), case_on_table_name<Case>(case_name));

TEST(BatchEdges, AnEmptyIndexOrBatchWritesNothing) {
    Flat f(4, MetricKind::Euclidean);
    const V q(8, 1.0);
    EXPECT_EQ(batch_width(f, 10), 0u);
    EXPECT_TRUE(batch(f, q, 10, 4).ids.empty());
    f.append_rows(q.data(), 2);
    std::int64_t id = -7;
    double d = -7;
    search_on_threads(f, q.data(), 0, 10, &id, &d, 4);
    EXPECT_EQ(id, -7);
}

// The poll runs on the calling thread only; once it says stop, the batch
// ends with Interrupted after the queries under way.
TEST(BatchEdges, APollSayingStopEndsTheBatchOnTheCallingThread) {
    constexpr std::size_t dim = 64, n = 20000, m = 4000;
    Flat f(dim, MetricKind::Euclidean);
    const V rows = gaussian(n, dim, 3);
    f.append_rows(rows.data(), n);
    const V queries = gaussian(m, dim, 4);
    struct Watch {
        std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> asked{0}, elsewhere{0};
        static bool check(void* self) {
            auto* w = static_cast<Watch*>(self);
            if (std::this_thread::get_id() != w->caller) ++w->elsewhere;
            return ++w->asked >= 2;
        }
    } watch;
    std::vector<std::int64_t> ids(m * 10, -1);
    std::vector<double> distances(m * 10);
    EXPECT_THROW(search_on_threads(f, queries.data(), m, 10, ids.data(), distances.data(), 4, {Watch::check, &watch}),
                 Interrupted);
    EXPECT_EQ(watch.asked.load(), 2);
    EXPECT_EQ(watch.elsewhere.load(), 0);
    // Stopped early: some queries were never answered.
    EXPECT_NE(std::count(ids.begin(), ids.end(), -1), 0);
}

// The first look at the caller comes before any work: a poll that says stop
// at once ends even a batch too short for a second look.
TEST(BatchEdges, APollSayingStopAtOnceEndsEvenAShortBatch) {
    const Flat f = [] {
        Flat g(4, MetricKind::Euclidean);
        const V rows = gaussian(100, 4, 3);
        g.append_rows(rows.data(), 100);
        return g;
    }();
    const V query = gaussian(1, 4, 4);
    for (unsigned threads : {1u, 4u}) {
        int asked = 0;
        const Poll stop{[](void* n) { return ++*static_cast<int*>(n) > 0; }, &asked};
        std::int64_t ids[10];
        double distances[10];
        EXPECT_THROW(search_on_threads(f, query.data(), 1, 10, ids, distances, threads, stop), Interrupted);
        EXPECT_EQ(asked, 1) << threads << " threads";
    }
}

/// Pool jobs that, once started, wait until the test opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned started = 0;
    bool open = false;

    static void hold(void* self) {
        auto* g = static_cast<Gate*>(self);
        std::unique_lock lock(g->mutex);
        ++g->started;
        g->changed.notify_all();
        g->changed.wait(lock, [g] { return g->open; });
    }
    void wait_started(unsigned n) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return started >= n; });
    }
    void release() {
        const std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

/// Pool jobs that each wait until `n` of them run at once: a round only
/// ends once every pool thread took one, each after what it took before.
struct Round {
    Gate gate;
    unsigned n;
    static void meet(void* self) {
        auto* r = static_cast<Round*>(self);
        std::unique_lock lock(r->gate.mutex);
        ++r->gate.started;
        r->gate.changed.notify_all();
        r->gate.changed.wait(lock, [r] { return r->gate.started >= r->n; });
    }
};

// A request still queued when its owner goes is withdrawn: no thread ever
// runs it (its context may be gone), even once threads are free again.
TEST(BatchPool, ARequestNoThreadTookNeverRuns) {
    std::atomic<bool> ran{false};
    // The withdrawn owner's storage outlives it, so that a request wrongly
    // left queued runs harmlessly and shows.
    alignas(Helpers) unsigned char room[sizeof(Helpers)];
    unsigned threads = 0;
    {
        Gate busy;
        const Helpers every(Gate::hold, &busy, ~0u);  // every pool thread, held
        threads = pool_threads();
        busy.wait_started(threads);
        auto* late = new (room) Helpers([](void* r) { static_cast<std::atomic<bool>*>(r)->store(true); }, &ran, 1);
        late->~Helpers();
        busy.release();
    }
    Round round{{}, threads};
    {
        const Helpers all(Round::meet, &round, threads);
        round.gate.wait_started(threads);
    }
    EXPECT_FALSE(ran.load());
}

#if defined(__unix__)
// Two owners wait for their helpers; the second's ends first. Every owner
// waiting must be woken (a wake-up for one alone may reach the first, whose
// helper still runs, and leave the second waiting for good).
TEST(BatchPool, AnOwnerIsWokenWhenItsHelperEndsWhoeverElseWaits) {
    alarm(120);  // a hang fails the run rather than stalling it
    {
        const Helpers two([](void*) {}, nullptr, 2);
    }
    Gate first, second;
    std::atomic<bool> first_done{false}, second_done{false};
    auto owner = [](Gate& gate, std::atomic<bool>& done) {
        {
            const Helpers h(Gate::hold, &gate, 1);
            gate.wait_started(1);
        }  // waits here for its helper
        done = true;
    };
    std::thread a(owner, std::ref(first), std::ref(first_done));
    first.wait_started(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first owner waits
    std::thread b(owner, std::ref(second), std::ref(second_done));
    second.wait_started(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // and the second
    second.release();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!second_done && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_TRUE(second_done.load());
    first.release();
    // Requests that end wake the waiters again, so that a failure unwinds.
    while (!first_done || !second_done) {
        const Helpers nudge([](void*) {}, nullptr, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    a.join();
    b.join();
    alarm(0);
}
#endif

/// An index of n Gaussian rows.
Flat gaussian_index(MetricKind metric, std::size_t n, std::size_t dim, std::uint32_t seed) {
    Flat f(static_cast<std::uint32_t>(dim), metric);
    const V rows = gaussian(n, dim, seed);
    f.append_rows(rows.data(), n);
    return f;
}

// Threads only for work that pays for them: one for a small call, every
// core for a large one, and no overflow on absurd sizes.
TEST(BatchPool, DefaultThreadsFollowTheWork) {
    const unsigned cores = default_threads(SIZE_MAX, SIZE_MAX);
    EXPECT_GE(cores, 1u);
    EXPECT_EQ(default_threads(1, 500000), 1u);
    EXPECT_EQ(default_threads(0, 500000), 1u);
    EXPECT_EQ(default_threads(1000, 12800000), cores);
    EXPECT_EQ(default_threads((std::size_t{1} << 44) + 1, std::size_t{1} << 20), cores);  // 2^64 + 2^20 bytes
    EXPECT_LE(default_threads(2, 1000000), std::min(cores, 2u));
}

// A query reads a screened row's codes, a scattered row's values: the work
// of a few scattered rows can call for more threads than that of many
// screened ones.
TEST(BatchPool, ScanBytesCountWhatAQueryReads) {
    const Flat f = gaussian_index(MetricKind::Euclidean, 4096, 16, 11);
    EXPECT_EQ(f.scan_bytes(f.live_rows()), 4096u * 16);
    std::vector<std::uint64_t> bits(64);
    for (std::size_t id = 0; id < 4096; id += 16) bits[id / 64] |= std::uint64_t{1} << (id % 64);
    const RowSet scattered{0, 4096, bits.data(), 256};
    EXPECT_TRUE(scattered.scattered());
    EXPECT_EQ(f.scan_bytes(scattered), 256u * 16 * sizeof(double));
}

// Threads are kept between batches: ten more batches start none.
TEST(BatchPool, LaterBatchesReuseTheThreads) {
    constexpr std::size_t dim = 8;
    const Flat f = gaussian_index(MetricKind::Euclidean, 500, dim, 5);
    const V queries = gaussian(64, dim, 6);
    const Answer want = batch(f, queries, 5, 4);
    const unsigned started = pool_threads();
    EXPECT_GE(started, 3u);
    for (int round = 0; round < 10; ++round) EXPECT_EQ(batch(f, queries, 5, 4).ids, want.ids);
    EXPECT_EQ(pool_threads(), started);
}

// A call asking for thousands of threads is served by the pool's own few,
// with the same bits.
TEST(BatchPool, ThreadsBeyondThePoolsCapGiveTheSameBits) {
    constexpr std::size_t dim = 8;
    const Flat f = gaussian_index(MetricKind::Euclidean, 700, dim, 12);
    const V queries = gaussian(300, dim, 13);
    const Answer want = batch(f, queries, 4, 1);
    const Answer got = batch(f, queries, 4, 4000);
    EXPECT_EQ(got.ids, want.ids);
    EXPECT_EQ(0, std::memcmp(got.distances.data(), want.distances.data(), want.distances.size() * sizeof(double)));
    EXPECT_LE(pool_threads(), std::max(64u, 4 * std::thread::hardware_concurrency()));
}

// Batches from several threads at once share the pool: each gets its own
// answer, bit for bit.
TEST(BatchPool, ConcurrentBatchesEachGetTheirOwnAnswer) {
    constexpr std::size_t dim = 16;
    const Flat f = gaussian_index(MetricKind::Cosine, 3000, dim, 7);
    std::vector<V> queries;
    std::vector<Answer> want;
    for (std::uint32_t c = 0; c < 4; ++c) {
        queries.push_back(gaussian(40, dim, 100 + c));
        want.push_back(batch(f, queries.back(), 9, 1));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (std::size_t c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                const Answer got = batch(f, queries[c], 9, 3);
                if (got.ids != want[c].ids || std::memcmp(got.distances.data(), want[c].distances.data(),
                                                          got.distances.size() * sizeof(double))) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// (Not under ThreadSanitizer, which cannot start threads after a fork of a
// process that has some.)
#if defined(__unix__) && !defined(__SANITIZE_THREAD__)
// A child forked after the pool started has none of its threads: its
// batches start a pool of their own (the parent's would leave the child's
// batches on one thread, or wait on a lock a parent's thread held at the
// fork) and answer as the parent's do.
TEST(BatchPool, AForkedChildBatchesOnItsOwnPool) {
    constexpr std::size_t dim = 8;
    const Flat f = gaussian_index(MetricKind::Dot, 2000, dim, 9);
    const V queries = gaussian(50, dim, 10);
    const Answer want = batch(f, queries, 6, 3);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(20);  // a child that waits for a thread it does not have ends here
        const Answer got = batch(f, queries, 6, 3);
        std::size_t threads = 0;  // the child's own, counted by the system
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) threads += entry.exists();
        _exit(got.ids == want.ids && threads >= 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
#endif

}  // namespace
