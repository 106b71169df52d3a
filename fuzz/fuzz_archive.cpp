// Fuzzes the whole patch run on an archive file: the file keeps its length,
// header and directory; only grey words reached in bytes read turn white, and
// the bytes and counts are exactly those an independent reference run gives;
// stdout holds exactly one whole line per model entry; damage is reported
// with status 1 and a sound archive gives status 0; a dry run before it writes
// nothing and prints the same and its summary; a listing dry run names just the
// models that would change, each followed by a line per material; and where no two model entries
// share bytes, a second run changes nothing and counts 0 everywhere. (Where entries share bytes,
// one entry's whitened word can redirect another's walk on the next run, so a second run may find
// more.)
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "byte_order.h"
#include "fuzz_check.h"
#include "invariants.h"
#include "reference_run.h"
#include "walk.h"

namespace {

using bytes = std::vector<unsigned char>;

const std::string& archive_path() {
    static const std::string path = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/fuzz_archive." + std::to_string(getpid()) + ".img";
    }();
    return path;
}

void write_whole(const bytes& data) {
    std::FILE* file = std::fopen(archive_path().c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data.data(), 1, data.size(), file) == data.size());
    FUZZ_CHECK(std::fclose(file) == 0);
}

bytes read_whole() {
    bytes data;
    std::FILE* file = std::fopen(archive_path().c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    unsigned char block[8192];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        data.insert(data.end(), block, block + got);
    }
    std::fclose(file);
    return data;
}

struct run_output {
    int status;
    std::string out;
    std::string err;
};

// fclose publishes the stream's final buffer and size.
std::string close_memstream(std::FILE* stream, char** buffer, std::size_t* size) {
    std::fclose(stream);
    std::string text(*buffer, *size);
    std::free(*buffer);
    return text;
}

run_output run_tool(bool dry_run = false, bool list = false) {
    char* out_buffer = nullptr;
    char* err_buffer = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE* out = open_memstream(&out_buffer, &out_size);
    std::FILE* err = open_memstream(&err_buffer, &err_size);
    FUZZ_CHECK(out != nullptr && err != nullptr);
    img_whiten::run_request request;
    request.settings.dry_run = dry_run;
    request.settings.list = list;
    const int status = img_whiten::patch_paths({archive_path().c_str()}, request, out, err).status;
    run_output result{status, "", ""};
    result.out = close_memstream(out, &out_buffer, &out_size);
    result.err = close_memstream(err, &err_buffer, &err_size);
    return result;
}

// What the directory of `file` says, worked out here independently of the run.
struct model_span {
    std::string name;
    std::uint64_t offset, length;
};
struct expectation {
    std::uint64_t protected_end = 0;  // header and directory bytes present
    std::vector<model_span> models;   // in directory order
    bool damaged = false;             // the run must report a failure
    bool models_share_bytes = false;
};

expectation expect_for(const bytes& file) {
    expectation e;
    if (file.size() < 8 || std::memcmp(file.data(), "VER2", 4) != 0) {
        return e;
    }
    const auto count = static_cast<std::int32_t>(img_whiten::load_le32(file.data() + 4));
    if (count <= 0) {
        return e;
    }
    const std::uint64_t directory_end = 8 + std::uint64_t{32} * static_cast<std::uint32_t>(count);
    e.protected_end = std::min<std::uint64_t>(directory_end, file.size());
    const std::uint64_t records =
        std::min<std::uint64_t>(static_cast<std::uint32_t>(count), (file.size() - 8) / 32);
    e.damaged = records < static_cast<std::uint32_t>(count);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (std::uint64_t i = 0; i < records; ++i) {
        const unsigned char* record = file.data() + 8 + 32 * i;
        const char* name = reinterpret_cast<const char*>(record + 8);
        model_span span{std::string(name, strnlen(name, 24)),
                        std::uint64_t{img_whiten::load_le32(record)} * 2048,
                        std::uint64_t{img_whiten::load_le32(record + 4)} * 2048};
        if (!img_whiten::reference::is_model_name(span.name)) {
            continue;
        }
        if (span.length > 0 &&
            (span.offset < directory_end || span.offset + span.length > file.size())) {
            e.damaged = true;
        }
        if (span.length > 0 && span.offset < file.size()) {
            spans.emplace_back(span.offset,
                               std::min(span.offset + span.length, std::uint64_t{file.size()}));
        }
        e.models.push_back(std::move(span));
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
        e.models_share_bytes |= spans[i].first < spans[i - 1].second;
    }
    return e;
}

// Parses one "Patching <name> patched <n> materials\n" line per model, in order.
std::vector<long long> parse_counts(const std::string& out, const std::vector<model_span>& models) {
    std::vector<long long> counts;
    std::size_t at = 0;
    for (const model_span& model : models) {
        const std::string head =
            "Patching " + img_whiten::invariants::printed_name(model.name) + " patched ";
        FUZZ_CHECK(out.compare(at, head.size(), head) == 0);
        at += head.size();
        const std::size_t digits = out.find_first_not_of("0123456789", at);
        FUZZ_CHECK(digits != std::string::npos && digits > at && digits - at < 19);
        counts.push_back(std::stoll(out.substr(at, digits - at)));
        at = digits;
        const std::string tail = " materials\n";
        FUZZ_CHECK(out.compare(at, tail.size(), tail) == 0);
        at += tail.size();
    }
    FUZZ_CHECK(at == out.size());
    return counts;
}

// `text` without its last line, which must begin with `start`.
std::string without_last_line(const std::string& text, const char* start) {
    const std::size_t from = text.empty() ? 0 : text.rfind('\n', text.size() - 2) + 1;
    FUZZ_CHECK(text.compare(from, std::strlen(start), start) == 0);
    return text.substr(0, from);
}

// Checks that `listing` holds the lines of `out` whose count is not 0, each
// followed by as many material lines.
void check_listing(const std::string& listing, const std::string& out,
                   const std::vector<long long>& counts) {
    std::size_t at = 0, in_out = 0;
    for (long long count : counts) {
        const std::size_t end = out.find('\n', in_out) + 1;
        if (count > 0) {
            FUZZ_CHECK(listing.compare(at, end - in_out, out, in_out, end - in_out) == 0);
            at += end - in_out;
            for (long long i = 0; i < count; ++i) {
                FUZZ_CHECK(listing.compare(at, 11, "  geometry ") == 0 ||
                           listing.compare(at, 14, "  no geometry,") == 0);
                at = listing.find('\n', at);
                FUZZ_CHECK(at != std::string::npos);
                ++at;
            }
        }
        in_out = end;
    }
    FUZZ_CHECK(at == listing.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bytes before(data, data + size);
    const expectation e = expect_for(before);
    write_whole(before);

    // A dry run changes nothing and prints exactly what the real run then prints.
    const run_output dry = run_tool(true);
    FUZZ_CHECK(read_whole() == before);
    const run_output first = run_tool();
    FUZZ_CHECK(without_last_line(dry.out, "Visited ") == first.out && dry.status == first.status);
    FUZZ_CHECK(first.status == 0 ? dry.err == first.err
                                 : without_last_line(dry.err, "img-whiten: failed: ") == first.err);
    const bytes after = read_whole();
    FUZZ_CHECK(after.size() == before.size());
    FUZZ_CHECK(std::equal(before.begin(), before.begin() + static_cast<long>(e.protected_end),
                          after.begin()));
    std::size_t whitened = 0;
    FUZZ_CHECK(img_whiten::invariants::changed_only_grey_words(before.data(), after.data(), size,
                                                               &whitened));
    const std::vector<long long> counts = parse_counts(first.out, e.models);
    FUZZ_CHECK(first.status == (e.damaged ? 1 : 0));
    FUZZ_CHECK(first.err.empty() == !e.damaged);
    // Exactly the bytes and counts a run must give, worked out independently.
    bytes expected = before;
    const img_whiten::reference::archive_result must =
        img_whiten::reference::patch_archive(expected);
    FUZZ_CHECK(after == expected);
    FUZZ_CHECK(counts == must.counts);
    FUZZ_CHECK(must.damaged == e.damaged);
    write_whole(before);
    const run_output listing = run_tool(true, true);
    check_listing(without_last_line(listing.out, "Visited "), first.out, counts);
    write_whole(after);

    if (!e.models_share_bytes) {
        long long total = 0;
        for (long long count : counts) {
            total += count;
        }
        FUZZ_CHECK(static_cast<std::size_t>(total) == whitened);
        const run_output second = run_tool();
        FUZZ_CHECK(read_whole() == after);
        for (long long count : parse_counts(second.out, e.models)) {
            FUZZ_CHECK(count == 0);
        }
        FUZZ_CHECK(second.status == first.status);
    }
    return 0;
}
