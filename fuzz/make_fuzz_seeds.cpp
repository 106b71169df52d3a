// make-fuzz-seeds DIR: writes seed inputs for fuzz_walk to DIR/walk, for
// fuzz_archive to DIR/archive and for fuzz_journal to DIR/journal, all built
// by the shared builder.
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"

namespace {

using namespace img_whiten::build;

bool write_seed(const std::filesystem::path& dir, const std::string& name, const bytes& data) {
    std::FILE* file = std::fopen((dir / name).string().c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && written;
}

bytes small_clump() {
    return clump(
        {geometry({material(grey), material({149, 149, 149, 254}), material(white, "t")}, 32),
         geometry({material(grey, "grey")}, 16)});
}

// fuzz_walk reads its window choice from two bytes ahead of the model: bit 0
// sector windows, bit 1 sector marks, the rest the size over the least.
bytes with_windows(std::uint16_t choice, const bytes& model) {
    bytes out{static_cast<unsigned char>(choice), static_cast<unsigned char>(choice >> 8)};
    append(out, model);
    return out;
}

std::vector<std::pair<std::string, bytes>> walk_seeds() {
    bytes hostile = chunk_header(chunk_type::struct_data, 0xFFFFFFF4);
    append(hostile, material(grey));
    bytes flat = small_clump();
    append(flat, material(grey));
    append(flat, chunk(chunk_type::world, material(grey)));
    bytes sectors = small_clump();
    append(sectors, chunk(chunk_type::struct_data, bytes(3000, 0)));
    append(sectors, small_clump());
    return {{"material", with_windows(0, material(grey))},
            {"clump", with_windows(13 << 2, small_clump())},
            {"flat", with_windows(1, flat)},
            {"sectors", with_windows(3 | 7 << 2, sectors)},
            {"hostile-size", with_windows(0, hostile)}};
}

std::vector<std::pair<std::string, bytes>> archive_seeds() {
    const bytes one = archive({{"car.dff", material(grey)}});
    const bytes mixed = archive({{"bus.dff", small_clump()},
                                 {"bus.txd", material(grey)},
                                 {"BUS.COL", {1, 2, 3}},
                                 {"M.DFF", small_clump()},
                                 {"empty.dff", {}}});
    bytes shared = archive({{"a.dff", material(grey)}, {"b.dff", material(grey)}});
    set_le32(shared, entry_record_offset(1), 1);
    bytes cut = archive({{"cut.dff", small_clump()}, {"x.dff", small_clump()}});
    cut.resize(cut.size() - 100);
    bytes overlapping = one;
    set_le32(overlapping, entry_record_offset(0), 0);
    return {{"one", one},
            {"mixed", mixed},
            {"shared", shared},
            {"cut", cut},
            {"overlapping", overlapping}};
}

std::vector<std::pair<std::string, bytes>> journal_seeds() {
    const bytes a = journal_record({"models/main.img", 2049, 131, 1u << 20, {2076, 4124, 90000}});
    const bytes b =
        journal_record({"mods/cars/taxi.dff", 2049, 9, 300, {28}, 2, 0, "/home/me/game"});
    const bytes old = journal_record({"mods/cars/bus.dff", 2049, 10, 300, {28}, 1});
    bytes cut = a;
    cut.resize(a.size() - 7);
    return {{"two", cat({a, b})},
            {"both-versions", cat({old, b})},
            {"cut-then-whole", cat({cut, b, a})},
            {"garbage-between", cat({b, bytes{'I', 'W', '-', 'U', 'N', 0, 1}, a})}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-fuzz-seeds DIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::pair<const char*, std::vector<std::pair<std::string, bytes>>> sets[] = {
        {"walk", walk_seeds()}, {"archive", archive_seeds()}, {"journal", journal_seeds()}};
    for (const auto& set : sets) {
        std::filesystem::create_directories(root / set.first);
        for (const auto& seed : set.second) {
            if (!write_seed(root / set.first, seed.first, seed.second)) {
                std::fprintf(stderr, "make-fuzz-seeds: cannot write %s\n", seed.first.c_str());
                return 1;
            }
        }
    }
    return 0;
}
