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
    for (auto _ : state) {
        for (bytes& model : models) {
            benchmark::DoNotOptimize(img_whiten::whiten_grey_materials(model.data(), model.size()));
        }
    }
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
        benchmark::DoNotOptimize(img_whiten::whiten_grey_materials(stream.data(), stream.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(walk_tiny_chunks);

}  // namespace

BENCHMARK_MAIN();
