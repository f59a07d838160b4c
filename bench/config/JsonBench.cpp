// Parsing and writing the default configuration document (every key of the
// defaults table in the section "configuration", as a saved file holds it)
// against the JSON libraries found at build time. Prints the ratios.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "config/ConfigDefaults.h"
#include "config/Json.h"

#if TYVO_BENCH_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if TYVO_BENCH_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#endif

namespace {

const Value& defaultDocument() {
    static const Value document = [] {
        Value::Object section;
        for (const auto& row : Config::defaultRows()) section.insert_or_assign(row.key, row.value);
        Value root;
        root.setMember("configuration", Value(std::move(section)));
        return root;
    }();
    return document;
}

const std::string& defaultText() {
    static const std::string text = Json::toJson(defaultDocument(), false, true);
    return text;
}

void tyvoParse(benchmark::State& state) {
    const std::string& text = defaultText();
    for (auto _ : state) {
        Value v = Json::parse(text);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(tyvoParse);

void tyvoWrite(benchmark::State& state) {
    const Value& document = defaultDocument();
    for (auto _ : state) {
        std::string text = Json::toJson(document, false, true);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * defaultText().size()));
}
BENCHMARK(tyvoWrite);

#if TYVO_BENCH_NLOHMANN
void nlohmannParse(benchmark::State& state) {
    const std::string& text = defaultText();
    for (auto _ : state) {
        auto v = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(nlohmannParse);

void nlohmannWrite(benchmark::State& state) {
    const auto document = nlohmann::json::parse(defaultText());
    for (auto _ : state) {
        std::string text = document.dump(2);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * defaultText().size()));
}
BENCHMARK(nlohmannWrite);
#endif

#if TYVO_BENCH_RAPIDJSON
void rapidjsonParse(benchmark::State& state) {
    const std::string& text = defaultText();
    for (auto _ : state) {
        rapidjson::Document v;
        v.Parse(text.c_str(), text.size());
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(rapidjsonParse);

void rapidjsonWrite(benchmark::State& state) {
    rapidjson::Document document;
    document.Parse(defaultText().c_str(), defaultText().size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
        writer.SetIndent(' ', 2);
        document.Accept(writer);
        std::string text(buffer.GetString(), buffer.GetSize());
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * defaultText().size()));
}
BENCHMARK(rapidjsonWrite);
#endif

// Keeps the processor time per iteration of every run for the ratios: on a
// shared machine it varies far less than the wall-clock time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                nanoseconds[run.benchmark_name()] =
                    run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
            }
        }
    }
    std::map<std::string, double> nanoseconds;
};

void printRatios(const std::map<std::string, double>& ns) {
    std::printf("\nDefault configuration document: %zu bytes, %zu keys\n", defaultText().size(),
                Config::defaultRows().size());
    for (const char* direction : {"Parse", "Write"}) {
        auto ours = ns.find(std::string("tyvo") + direction);
        if (ours == ns.end()) continue;
        std::printf("%s (CPU time per document): tyvo %.0f ns\n", direction, ours->second);
        for (const char* peer : {"nlohmann", "rapidjson"}) {
            auto theirs = ns.find(std::string(peer) + direction);
            if (theirs == ns.end()) {
                std::printf("  %-9s not built (library not found)\n", peer);
                continue;
            }
            std::printf("  %-9s %.0f ns, tyvo time / %s time = %.2f\n", peer, theirs->second, peer,
                        ours->second / theirs->second);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter.nanoseconds);
    benchmark::Shutdown();
    return 0;
}
