#include "output.h"

#include <cstdarg>
#include <string>

#include "console.h"

namespace img_whiten {

void report(run_output& output, const char* path, const char* entry_name, const char* format, ...) {
    // Progress lines go first, so they stay whole when both streams share a terminal.
    std::fflush(output.out);
    std::string line = "img-whiten: ";
    if (path != nullptr) {
        line += path;
        line += ": ";
    }
    if (entry_name != nullptr) {
        line += entry_name;
        line += ": ";
    }
    std::va_list args;
    va_start(args, format);
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        // Formatted in place: vsnprintf's terminator lands where the line end goes.
        const std::size_t prefix = line.size();
        line.resize(prefix + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&line[prefix], static_cast<std::size_t>(length) + 1, format, args);
        line.back() = '\n';
    } else {
        line += '\n';
    }
    va_end(args);
    write_message(output.err, line);
    std::fflush(output.err);
    output.status = exit_failure_reported;
}

void print_entry_start(run_output& output, const char* entry_name) {
    std::fprintf(output.out, "Patching %s ", entry_name);
}

void print_model_start(run_output& output, const char* path) {
#if defined(_WIN32)
    write_message(output.out, std::string("Patching ") + path + " ");
#else
    std::fputs("Patching ", output.out);  // no string built: one line per file of a large tree
    std::fputs(path, output.out);
    std::fputc(' ', output.out);
#endif
}

void print_count(run_output& output, std::int64_t count) {
    std::fprintf(output.out, "patched %lld materials\n", static_cast<long long>(count));
    output.models_changed += count > 0;
    output.materials_whitened += static_cast<std::uint64_t>(count);
}

void print_archive_heading(run_output& output, const char* path) {
    if (output.several_files) {
        write_message(output.out, std::string("==> ") + path + " <==\n");
    }
}

void print_summary(run_output& output) {
    const auto files = static_cast<unsigned long long>(output.files_visited);
    const auto models = static_cast<unsigned long long>(output.models_changed);
    const auto materials = static_cast<unsigned long long>(output.materials_whitened);
    const char* const file_word = files == 1 ? "file" : "files";
    const char* const model_word = models == 1 ? "model" : "models";
    const char* const material_word = materials == 1 ? "material" : "materials";
    if (output.dry_run) {
        std::fprintf(output.out,
                     "Visited %llu %s: %llu %s would change, %llu %s would be whitened "
                     "(dry run: nothing was written)\n",
                     files, file_word, models, model_word, materials, material_word);
    } else {
        std::fprintf(output.out, "Visited %llu %s: %llu %s changed, %llu %s whitened\n", files,
                     file_word, models, model_word, materials, material_word);
    }
}

void check_progress_written(run_output& output, const char* path, bool flush) {
    const bool flush_failed = flush && std::fflush(output.out) != 0;
    if ((flush_failed || std::ferror(output.out)) && !output.output_failure_reported) {
        output.output_failure_reported = true;
        report(output, path, nullptr, "cannot write progress to standard output");
    }
}

}  // namespace img_whiten
