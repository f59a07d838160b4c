// Parsing and writing JSON documents against the JSON libraries found at
// build time: the default configuration document (every key of the defaults
// table in the section "configuration", as a saved file holds it, written
// indented) and the three shared benchmark documents canada (floats),
// citm_catalog (objects) and twitter (strings), written on one line. Prints
// the ratios.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "config/ConfigDefaults.h"
#include "config/Json.h"

#if TYVO_BENCH_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if TYVO_BENCH_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif

namespace {

struct Document {
    std::string name;
    std::string text;
    bool pretty;  // written indented by two spaces, else on one line
};

std::string defaultText() {
    Value::Object section;
    for (const auto& row : Config::defaultRows()) section.insert_or_assign(row.key, row.value);
    Value root;
    root.setMember("configuration", Value(std::move(section)));
    return Json::toJson(root, false, true);
}

// The documents that could be read; a shared document that is missing is
// reported and left out.
std::vector<Document> loadDocuments() {
    std::vector<Document> documents{{"default", defaultText(), true}};
    const std::string folder = std::string(TYVO_BENCH_DATA) + "/json/";
    for (const char* name : {"canada", "citm_catalog", "twitter"}) {
        std::ifstream in(folder + name + ".json", std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "JSON benchmark: %s%s.json is not there, %s is not measured\n", folder.c_str(), name,
                         name);
            continue;
        }
        std::ostringstream text;
        text << in.rdbuf();
        documents.push_back({name, text.str(), false});
    }
    return documents;
}

void setBytes(benchmark::State& state, const Document& document) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.text.size()));
}

void tyvoParse(benchmark::State& state, const Document* document) {
    for (auto _ : state) {
        Value v = Json::parse(document->text);
        benchmark::DoNotOptimize(v);
    }
    setBytes(state, *document);
}

void tyvoWrite(benchmark::State& state, const Document* document) {
    const Value value = Json::parse(document->text);
    for (auto _ : state) {
        std::string text = Json::toJson(value, false, document->pretty);
        benchmark::DoNotOptimize(text);
    }
    setBytes(state, *document);
}

#if TYVO_BENCH_NLOHMANN
void nlohmannParse(benchmark::State& state, const Document* document) {
    for (auto _ : state) {
        auto v = nlohmann::json::parse(document->text);
        benchmark::DoNotOptimize(v);
    }
    setBytes(state, *document);
}

void nlohmannWrite(benchmark::State& state, const Document* document) {
    const auto value = nlohmann::json::parse(document->text);
    for (auto _ : state) {
        std::string text = value.dump(document->pretty ? 2 : -1);
        benchmark::DoNotOptimize(text);
    }
    setBytes(state, *document);
}
#endif

#if TYVO_BENCH_RAPIDJSON
void rapidjsonParse(benchmark::State& state, const Document* document) {
    for (auto _ : state) {
        rapidjson::Document v;
        v.Parse(document->text.c_str(), document->text.size());
        benchmark::DoNotOptimize(v);
    }
    setBytes(state, *document);
}

template <class Writer>
std::string rapidjsonText(const rapidjson::Document& value, bool pretty) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    if constexpr (std::is_same_v<Writer, rapidjson::PrettyWriter<rapidjson::StringBuffer>>) {
        if (pretty) writer.SetIndent(' ', 2);
    }
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

void rapidjsonWrite(benchmark::State& state, const Document* document) {
    rapidjson::Document value;
    value.Parse(document->text.c_str(), document->text.size());
    for (auto _ : state) {
        std::string text = document->pretty
                               ? rapidjsonText<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(value, true)
                               : rapidjsonText<rapidjson::Writer<rapidjson::StringBuffer>>(value, false);
        benchmark::DoNotOptimize(text);
    }
    setBytes(state, *document);
}
#endif

void registerAll(const std::vector<Document>& documents) {
    using Function = void (*)(benchmark::State&, const Document*);
    const std::vector<std::pair<const char*, Function>> functions = {
        {"tyvoParse", tyvoParse},
        {"tyvoWrite", tyvoWrite},
#if TYVO_BENCH_NLOHMANN
        {"nlohmannParse", nlohmannParse},
        {"nlohmannWrite", nlohmannWrite},
#endif
#if TYVO_BENCH_RAPIDJSON
        {"rapidjsonParse", rapidjsonParse},
        {"rapidjsonWrite", rapidjsonWrite},
#endif
    };
    for (const auto& document : documents) {
        for (const auto& [name, function] : functions) {
            benchmark::RegisterBenchmark((std::string(name) + "/" + document.name).c_str(), function, &document);
        }
    }
}

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

void printRatios(const std::map<std::string, double>& ns, const Document& document) {
    std::printf("\nDocument %s: %zu bytes\n", document.name.c_str(), document.text.size());
    for (const char* direction : {"Parse", "Write"}) {
        const std::string suffix = std::string(direction) + "/" + document.name;
        auto ours = ns.find("tyvo" + suffix);
        if (ours == ns.end()) continue;
        std::printf("%s (CPU time per document): tyvo %.0f ns\n", direction, ours->second);
        for (const char* peer : {"nlohmann", "rapidjson"}) {
            auto theirs = ns.find(peer + suffix);
            if (theirs == ns.end()) {
                std::printf("  %-9s not measured (library not found, or filtered out)\n", peer);
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
    const std::vector<Document> documents = loadDocuments();
    registerAll(documents);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& document : documents) printRatios(reporter.nanoseconds, document);
    benchmark::Shutdown();
    return 0;
}
