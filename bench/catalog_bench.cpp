// The catalog's main road on a large subscription: a signed compact manifest
// of 1,000 nodes x 4 transport kinds (made at build time by
// make_catalog_manifest.py, with keys of its own) verified, expanded and
// turned into its 4,000 routes, then the display texts of every route. Each
// run first checks its result against the hashes and route count that the
// Python reference computed, so a fast wrong answer never reports a time.
//
// CatalogPipelineMemory reports the process's memory around the pipeline:
// before the first run, after it, after the last, and the peak in between.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "common/base/digest.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"

namespace tarnel {
namespace {

std::string read(const std::string& name) {
    const std::filesystem::path path = std::filesystem::path(TARNEL_BENCH_MANIFEST_DIR) / name;
    auto contents = files::readIfExists(path);
    if (!contents) throw std::runtime_error("missing " + path.string() + " (build with scripts/build)");
    return std::move(*contents);
}

struct SignedManifest {
    std::string envelope;
    std::string rootSPKI;
    double now = 0;
    json::Value expected;
};

const SignedManifest& signedManifest() {
    static const SignedManifest manifest = [] {
        SignedManifest loaded{read("envelope.json"), read("root.spki.der"), 0, json::parse(read("expected.json"))};
        loaded.now = loaded.expected.at("now").get<double>();
        return loaded;
    }();
    return manifest;
}

VerifiedTransportManifest verify(const SignedManifest& manifest) {
    return SignedTransportManifestVerifier::verify(manifest.envelope, manifest.now, std::nullopt, std::nullopt,
                                                   manifest.rootSPKI);
}

// The texts a route shows: its title, its group and its log line.
std::size_t displayTexts(const std::vector<RouteNode>& routes) {
    std::size_t bytes = 0;
    for (const RouteNode& route : routes) {
        const RouteDisplayTexts texts = route.displayTexts();
        bytes += texts.title.size() + texts.regionLabel.size() + texts.diagnosticDescription.size();
    }
    return bytes;
}

// Why the pipeline's result differs from the reference's, or nothing.
std::optional<std::string> wrongResult(const SignedManifest& manifest) {
    const VerifiedTransportManifest verified = verify(manifest);
    const json::Value& expected = manifest.expected;
    if (sha256Hex(verified.payload()) != expected.at("expanded_sha256").get<std::string>()) return "the expanded document differs";
    if (verified.legacySHA256() != expected.at("legacy_sha256").get<std::string>()) return "the legacy hash differs";
    if (verified.contentFloor().compactV2SHA256() != expected.at("compact_sha256").get<std::string>()) {
        return "the compact hash differs";
    }
    if (verified.manifest().routeNodes(manifest.now).size() != expected.at("routes").get<std::size_t>()) {
        return "the route count differs";
    }
    return std::nullopt;
}

// Runs once per benchmark function; false (with the benchmark skipped) when
// the manifest is missing or the pipeline's result is wrong.
bool checked(benchmark::State& state) {
    try {
        if (const auto wrong = wrongResult(signedManifest())) {
            state.SkipWithError(wrong->c_str());
            return false;
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return false;
    }
    return true;
}

// What the process holds: its resident set, the peak of the resident set
// since the last reset, and the heap bytes in use (the exact measure of
// growth: the resident set also holds what the allocator keeps for reuse).
struct Memory {
    double residentBytes = 0;      // VmRSS
    double peakResidentBytes = 0;  // VmHWM
    double heapInUseBytes = 0;
};

Memory memory() {
    ::malloc_trim(0);  // free pages go back to the system before the resident set is read
    Memory memory;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        // "VmRSS:     35216 kB"
        const auto bytes = [&line] { return std::stod(line.substr(line.find(':') + 1)) * 1024; };
        if (line.starts_with("VmRSS:")) memory.residentBytes = bytes();
        if (line.starts_with("VmHWM:")) memory.peakResidentBytes = bytes();
    }
    memory.heapInUseBytes = static_cast<double>(::mallinfo2().uordblks);
    return memory;
}

// Starts the peak over from the current resident set.
void resetPeakResidentMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

void reportMemory(benchmark::State& state, const Memory& before, const Memory& afterFirst) {
    const Memory after = memory();
    const auto bytes = [](double value) {
        return benchmark::Counter(value, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
    };
    state.counters["rss_before"] = bytes(before.residentBytes);
    state.counters["rss_after_first"] = bytes(afterFirst.residentBytes);
    state.counters["rss_after"] = bytes(after.residentBytes);
    state.counters["rss_peak"] = bytes(after.peakResidentBytes);
    state.counters["heap_before"] = bytes(before.heapInUseBytes);
    state.counters["heap_after_first"] = bytes(afterFirst.heapInUseBytes);
    state.counters["heap_after"] = bytes(after.heapInUseBytes);
}

// What the application keeps of a subscription: the verified manifest and its
// routes.
struct Subscription {
    VerifiedTransportManifest manifest;
    std::vector<RouteNode> routes;
};

// Verify + expand + routeNodes, and the display texts of every route when
// `withTexts`.
Subscription refresh(const SignedManifest& signedManifest, bool withTexts) {
    VerifiedTransportManifest verified = verify(signedManifest);
    std::vector<RouteNode> routes = verified.manifest().routeNodes(signedManifest.now);
    if (withTexts) benchmark::DoNotOptimize(displayTexts(routes));
    return {std::move(verified), std::move(routes)};
}

// Runs the pipeline as the application does: the subscription in use stays
// until a refreshed one replaces it. (Dropping each result before the next run
// instead would leave the whole heap free at its top, which glibc returns to
// the system and the next run faults back in: on this virtual machine that
// costs more than the pipeline itself and measures the allocator, not it.)
void pipeline(benchmark::State& state, bool withTexts) {
    if (!checked(state)) return;
    // Kept from one repetition to the next too, as the application keeps it.
    static std::optional<Subscription> current;
    for (auto _ : state) current = refresh(signedManifest(), withTexts);
}

void CatalogPipeline(benchmark::State& state) { pipeline(state, false); }
void CatalogPipelineWithDisplayTexts(benchmark::State& state) { pipeline(state, true); }

// The memory the whole pipeline holds, over a fixed number of runs: nothing
// may stay behind from one run to the next beyond the subscription in use.
// Its time is not of interest (the allocator hands its free pages back before
// every reading).
void CatalogPipelineMemory(benchmark::State& state) {
    if (!checked(state)) return;
    const Memory before = memory();
    resetPeakResidentMemory();
    std::optional<Subscription> current;
    std::optional<Memory> afterFirst;
    for (auto _ : state) {
        current = refresh(signedManifest(), true);
        if (!afterFirst) afterFirst = memory();
    }
    reportMemory(state, before, afterFirst.value_or(before));
}

// The stages on their own, to tell where the time goes; each keeps its
// result until the next replaces it, as the pipeline does.
void CatalogVerifyAndExpand(benchmark::State& state) {
    if (!checked(state)) return;
    static std::optional<VerifiedTransportManifest> current;
    for (auto _ : state) current = verify(signedManifest());
}

void CatalogRouteNodes(benchmark::State& state) {
    if (!checked(state)) return;
    const VerifiedTransportManifest verified = verify(signedManifest());
    static std::vector<RouteNode> current;
    for (auto _ : state) current = verified.manifest().routeNodes(signedManifest().now);
}

void CatalogDisplayTexts(benchmark::State& state) {
    if (!checked(state)) return;
    const std::vector<RouteNode> routes = verify(signedManifest()).manifest().routeNodes(signedManifest().now);
    for (auto _ : state) benchmark::DoNotOptimize(displayTexts(routes));
}

// The memory first, before the pipelines' kept subscription is in the heap.
BENCHMARK(CatalogPipelineMemory)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogPipeline)->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogPipelineWithDisplayTexts)->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogVerifyAndExpand)->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogRouteNodes)->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogDisplayTexts)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnel
