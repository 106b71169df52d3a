// The material walk alone, in bytes per second: on realistic models, where it
// hops over vertex data, and on a stream of tiny chunks, where every 12 bytes
// is a step.
#include <benchmark/benchmark.h>

#include <vector>

#include "archive.h"
#include "archive_builder.h"
#include "material_walk.h"

namespace {

using img_whiten::build::bytes;

bool any_error = false;  // a benchmark found something wrong: the run exits 1

void fail(benchmark::State& state, const char* why) {
    any_error = true;
    state.SkipWithError(why);
}

// The model entries of a sample archive, each padded to whole sectors as stored.
std::vector<bytes> realistic_models() {
    img_whiten::build::sample_options options;
    options.target_bytes = 16u << 20;
    std::vector<bytes> models;
    for (img_whiten::build::entry& e : img_whiten::build::sample_entries(options)) {
        if (img_whiten::is_model_entry(e.name.c_str())) {
            e.data.resize((e.data.size() + 2047) / 2048 * 2048, 0);
            models.push_back(std::move(e.data));
        }
    }
    return models;
}

void walk_realistic_models(benchmark::State& state) {
    std::vector<bytes> models = realistic_models();
    std::size_t total = 0;
    for (const bytes& model : models) {
        total += model.size();
    }
    // The first pass whitens every grey material; each later one finds none.
    std::int64_t first_pass = 0;
    for (bytes& model : models) {
        first_pass += img_whiten::whiten_grey_materials(model.data(), model.size());
    }
    if (first_pass == 0) {
        fail(state, "the sample has no grey material");
    }
    for (auto _ : state) {
        std::int64_t found = 0;
        for (bytes& model : models) {
            found += img_whiten::whiten_grey_materials(model.data(), model.size());
        }
        benchmark::DoNotOptimize(found);
        if (found != 0) {
            fail(state, "a walk over whitened models found grey");
            break;
        }
    }
    state.counters["first_pass_materials"] = static_cast<double>(first_pass);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}
BENCHMARK(walk_realistic_models);

// Worst case per byte: empty Struct chunks back to back, with a Geometry header
// (stepped into) every few chunks and a Material (colour tested) now and then.
void walk_tiny_chunks(benchmark::State& state) {
    bytes stream;
    while (stream.size() < (8u << 20)) {
        img_whiten::build::append(
            stream, img_whiten::build::chunk_header(img_whiten::build::chunk_type::geometry, 0));
        for (int i = 0; i < 6; ++i) {
            img_whiten::build::append(
                stream, img_whiten::build::chunk(img_whiten::build::chunk_type::struct_data, {}));
        }
        img_whiten::build::append(stream, img_whiten::build::material(img_whiten::build::white));
    }
    for (auto _ : state) {
        const std::int64_t found = img_whiten::whiten_grey_materials(stream.data(), stream.size());
        benchmark::DoNotOptimize(found);
        if (found != 0) {
            fail(state, "white materials counted as grey");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(walk_tiny_chunks);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    const std::size_t ran = benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return ran > 0 && !any_error ? 0 : 1;
}
