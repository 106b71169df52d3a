// Fuzzes the material walk: only grey words change, each to white, the count
// is the number changed, and a second walk finds nothing.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "invariants.h"
#include "material_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size heap copy, so the sanitizer catches any access past the end.
    std::vector<unsigned char> buffer(data, data + size);
    const std::int64_t count = img_whiten::whiten_grey_materials(buffer.data(), buffer.size());

    std::size_t whitened = 0;
    FUZZ_CHECK(
        img_whiten::invariants::changed_only_grey_words(data, buffer.data(), size, &whitened));
    FUZZ_CHECK(count >= 0);
    FUZZ_CHECK(static_cast<std::size_t>(count) == whitened);

    const std::vector<unsigned char> once = buffer;
    FUZZ_CHECK(img_whiten::whiten_grey_materials(buffer.data(), buffer.size()) == 0);
    FUZZ_CHECK(buffer == once);
    return 0;
}
