// Fuzzes the material walk: only grey words change, each to white, the count
// is the number changed, a second walk finds nothing, and a walk through
// windows gives the whole walk's bytes, count and marks. A listing walk
// changes the same bytes, lists each material it whitens, and lists the same
// through windows. The first two bytes choose the windows; the rest is the model.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "invariants.h"
#include "material_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const unsigned choice = data[0] | unsigned{data[1]} << 8;
    const bool at_sector = (choice & 1) != 0;
    // From the least window that lets the walk progress to a sector more.
    const std::size_t window_size =
        img_whiten::walk_step_reach + (at_sector ? 2048 : 0) + (choice >> 2) % 2048;
    data += 2;
    size -= 2;

    // An exact-size heap copy, so the sanitizer catches any access past the end.
    std::vector<unsigned char> buffer(data, data + size);
    std::vector<std::uint64_t> bits(img_whiten::change_map_words(size), 0);
    img_whiten::change_map changes{bits.data()};
    const std::int64_t count =
        img_whiten::whiten_grey_materials(buffer.data(), buffer.size(), &changes);

    std::size_t whitened = 0;
    FUZZ_CHECK(
        img_whiten::invariants::changed_only_grey_words(data, buffer.data(), size, &whitened));
    FUZZ_CHECK(count >= 0);
    FUZZ_CHECK(static_cast<std::size_t>(count) == whitened);

    std::vector<unsigned char> windowed(data, data + size);
    std::vector<std::uint64_t> windowed_bits(bits.size(), 0);
    const img_whiten::invariants::window_walk walk =
        img_whiten::invariants::walk_in_windows(windowed, window_size, at_sector, windowed_bits);
    FUZZ_CHECK(!walk.stalled);
    FUZZ_CHECK(walk.count == count);
    FUZZ_CHECK(windowed == buffer);
    FUZZ_CHECK(windowed_bits == bits);

    std::vector<unsigned char> listed(data, data + size);
    img_whiten::material_listing listing;
    FUZZ_CHECK(img_whiten::whiten_grey_materials(listed.data(), listed.size(), nullptr, &listing) ==
               count);
    FUZZ_CHECK(listed == buffer);
    FUZZ_CHECK(listing.found.size() == static_cast<std::size_t>(count));
    std::vector<unsigned char> listed_windowed(data, data + size);
    std::vector<std::uint64_t> listed_bits(bits.size(), 0);
    img_whiten::material_listing windowed_listing;
    const img_whiten::invariants::window_walk listed_walk = img_whiten::invariants::walk_in_windows(
        listed_windowed,
        img_whiten::listing_step_reach + (at_sector ? 2047 : 0) + (choice >> 2) % 2048, at_sector,
        listed_bits, &windowed_listing);
    FUZZ_CHECK(!listed_walk.stalled);
    FUZZ_CHECK(listed_walk.count == count);
    FUZZ_CHECK(listed_windowed == buffer);
    FUZZ_CHECK(img_whiten::invariants::same_listing(windowed_listing, listing));

    const std::vector<unsigned char> once = buffer;
    FUZZ_CHECK(img_whiten::whiten_grey_materials(buffer.data(), buffer.size()) == 0);
    FUZZ_CHECK(buffer == once);
    return 0;
}
