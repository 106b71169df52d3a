#!/usr/bin/env bash
# Mutation testing of the program: each mutant below is a small, realistic
# fault put into one file under src/ by a sed expression, in a scratch
# copy of the tree under /tmp. The copy is built and tested with the README's
# test command, and the mutant counts as caught when the suite fails:
#
#   cmake -S . -B build -DIMG_WHITEN_TESTS=ON && cmake --build build -j2 && ctest --test-dir build --output-on-failure --no-tests=error -j2 --stop-on-failure
#
# (-j2 runs two cases at once; --stop-on-failure ends a caught mutant's run at
# its first failing case.) CI is unset, so that warnings do not stop a build.
# The unmutated copy must build and pass first. Each mutant's file is put
# back before the next, so only the files it touches are built again.
#
#   tools/mutants.sh [--only N]    (N: the mutant's number, from 1)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
only=0
while (($#)); do
  case $1 in
    --only) only=${2:?--only needs a number}; shift 2 ;;
    *) echo "usage: tools/mutants.sh [--only N]" >&2; exit 2 ;;
  esac
done

files=() descriptions=() expressions=() hints=()
# mutant FILE DESCRIPTION SED-EXPRESSION HINT: HINT says what kind of test catches it.
mutant() {
  files+=("$1") descriptions+=("$2") expressions+=("$3") hints+=("$4")
}

mutant format/material_walk.cpp "a listing numbers every material of a list 0" \
  's#index = listing->list_materials++;#index = listing->list_materials;#' \
  "a list with a white material before a grey one: the grey one is material 1"
mutant format/material_walk.cpp "a material after its geometry is listed as in it" \
  's#if (window_offset + at < listing->geometry_end) {#if (true) {#' \
  "a grey material after a clump: no geometry"
mutant format/material_walk.cpp "a listing reads a texture past the window" \
  's#if (grey \&\& listing != nullptr \&\& reach > length - at) {#if (false) {#' \
  "a material list longer than a window, listed through windows"
mutant output/output.cpp "a listing names models with nothing grey" \
  's#if (output.settings.list \&\& shown == 0) {#if (false) {#' \
  "--list over a folder: white models are not named"
mutant output/output.cpp "a listing gives every archive its heading" \
  's#output.heading = std::move(heading);#tell_lines(output, heading);#' \
  "--list over a folder: no heading for an archive with nothing grey"
mutant walk/walk.cpp "a folder met again is walked again" \
  's#if (run.seen.contains(folder->identity)) {#if (false) {#' \
  "a folder named twice that holds an unreadable subfolder: reported once"
mutant run/claims.cpp "a regular file named twice is patched twice" \
  's#    if (seen_.contains(identity)) {#    if (false) {#' \
  "one model named twice: one line"
mutant walk/walk.cpp "two file paths do not make a run over several files" \
  's#settings.several_files |= paths.size() > 1;#settings.several_files |= paths.size() > 2;#' \
  "two archives named: a heading each and a summary"
mutant platform/file_io_posix.cpp "a named symbolic link is not followed" \
  's#if (stat(path, &info) != 0) {#if (lstat(path, \&info) != 0) {#' \
  "a link to an archive and one to a model, named: both patched"
mutant walk/walk.cpp "every regular file in a folder is opened, not only archives and models" \
  's#if (kind == path_kind::regular \&\& !model_name \&\& !has_archive_name(name)) {#if (false) {#' \
  "an unreadable notes.txt in a folder: no error (or no call on it)"
mutant output/output.cpp "the summary says \"1 files\"" \
  's#files == 1 ? "file" : "files"#files == 1 ? "files" : "files"#' \
  "a folder with one file: \"Visited 1 file:\""
mutant write_back/write_back.cpp "a failed close is not reported" \
  's#if (file.fd >= 0 \&\& !close_file(file)) {#if (file.fd >= 0 \&\& !close_file(file) \&\& false) {#' \
  "close failing with EIO after a write: reported"
mutant patch/patch_file.cpp "a dry run opens archives for update and locks them" \
  's#    if (target.output.settings.dry_run) {#    if (false) {#' \
  "a dry run on an archive another run has locked: no message"
mutant platform/file_io_posix.cpp "the check that what was opened is a regular file is gone" \
  's#if (!S_ISREG(info.st_mode)) {#if (false) {#' \
  "a FIFO swapped in for a listed model between the listing and the open: never opened"
mutant platform/file_io_posix.cpp "files are opened without O_NONBLOCK" \
  's#flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;#flags |= O_CLOEXEC | O_NOCTTY;#' \
  "a FIFO swapped in between the listing (or the named path's stat) and the open: the run does not block"
mutant platform/file_io_posix.cpp "the lock is shared, not exclusive" \
  's#flock(fd, LOCK_EX | LOCK_NB)#flock(fd, LOCK_SH | LOCK_NB)#' \
  "an archive another process holds a shared lock on: in use"
mutant platform/signals.cpp "the handler restarts interrupted calls (SA_RESTART)" \
  's#action.sa_flags = 0;#action.sa_flags = SA_RESTART;#' \
  "SIGTERM to a run blocked on a stdout that was full before it wrote"
mutant write_back/write_back.cpp "no signal check between sector writes" \
  's#if (first_run > 0 \&\& arrived_signal() != 0) {#if (false) {#' \
  "SIGTERM in a long write-back of one model's separate sectors"
mutant write_back/write_back.cpp "no check of the file before a write" \
  's#if (!still_as_read(target, entry_name, offset, data, marks, marked_was, begin, stop,#if (false \&\& !still_as_read(target, entry_name, offset, data, marks, marked_was, begin, stop,#' \
  "a file cut or rewritten by another program while the run walks it"
mutant output/output.cpp "control characters in names are not escaped" \
  's#if (!needs_quoting(name)) {#if (true || !needs_quoting(name)) {#' \
  "a model named with a newline and an escape: lines and messages escaped"
mutant run/claims.cpp "a file is noted as seen before it is known to be a target" \
  's#^    if (seen_.contains(identity)) {#    seen_.add(identity);\n&#' \
  "a hard link named like an archive met before the model it links: the model still patched"
mutant patch/patch_model.cpp "the walk stops after the first window" \
  's#walked = cursor.ended || cursor.position >= model_length;#walked = true;#' \
  "a model over 4 MiB with grey materials past its first 4 MiB"
mutant write_back/write_back.cpp "a read-only file is not read at all" \
  's#if (error == EROFS || error == EACCES || error == EPERM) {#if (false) {#' \
  "a read-only archive: its lines, then the error; a white one: no error"
mutant patch/patch_file.cpp "files visited are not counted" \
  's#    ++output.files_visited;##' \
  "the summary of a folder run"
mutant platform/file_io_posix.cpp "a lock held elsewhere is reported as a plain failure" \
  's#return errno == EWOULDBLOCK ? open_status::in_use : open_status::failed;#return open_status::failed;#' \
  "an archive another run has locked: in use by another program"
mutant platform/file_io_posix.cpp "flock failing with EIO is taken for a file system without locks" \
  's#return error == ENOLCK ||#return error == EIO || error == ENOLCK ||#' \
  "flock failing with EIO: reported"
mutant patch/patch_model.cpp "a colour word cut by a failed write is not put back" \
  's#if (cut_into == 0 || cut_into > stopped) {#if (true) {#' \
  "writes cut at every byte of a colour word"
mutant write_back/write_back.cpp "sectors one apart are written as one" \
  's#(runs\[\*next\].first >> sector_shift) <= last_sector + 1;#(runs[*next].first >> sector_shift) <= last_sector + 2;#' \
  "the bytes handed to the OS: only the sectors that hold a changed byte"
mutant patch/patch_entries.cpp "an entry whose data overlaps the directory is patched" \
  's#if (offset < protected_end) {#if (offset < archive_header_size) {#' \
  "an entry whose data starts inside the directory, past the header"
mutant platform/file_io.cpp "a short read is taken for the end of the file" \
  's#^        done += static_cast<std::size_t>(moved);#&\n        if (zero_is_end) {\n            break;\n        }#' \
  "reads that move a few bytes at a time"
mutant platform/file_io_posix.cpp "closed standard streams are left free for files" \
  's#if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {#if (true) {#' \
  "stdout or stderr closed: the archive's bytes"
mutant patch/patch_model.cpp "a dry run does not see what it would have whitened" \
  's#^            target.whites.apply(at, data, got);##' \
  "a dry run over entries that share sectors: the real run's counts"

mutant platform/file_io_posix.cpp "entries of a folder are opened following links" \
  's#return openat(place.parent->fd, place.name, flags | O_NOFOLLOW);#return openat(place.parent->fd, place.name, flags);#' \
  "a model swapped for a link to a file outside the folder: left alone"
mutant output/json.cpp "quotes in names are not escaped in JSON" \
  's#if (c == '"'"'"'"'"' || c == '"'"'\\\\'"'"') {#if (c == '"'"'\\\\'"'"') {#' \
  "a name with a quote, read back by a strict JSON reader"
mutant cli/program.cpp "--check says nothing would change" \
  's#return exit_would_change;#return exit_done;#' \
  "--check over a grey model: status 3"
mutant walk/walk.cpp "excluded entries are walked all the same" \
  's#if (!run.excludes.empty() \&\& run.excludes.excludes(below, kind == path_kind::folder)) {#if (false) {#' \
  "--exclude backup/: the folder's models left alone"
mutant output/progress.cpp "the progress display shows on a stderr that is no terminal" \
  's#err_ = wanted \&\& is_terminal(err, \&columns) ? err : nullptr;#err_ = wanted ? err : nullptr;#' \
  "a run past its first second with stderr on a pipe: nothing on stderr"
mutant output/progress.cpp "the progress line is redrawn at once after each erase" \
  's#now - drawn_ < progress_redraw_interval) {#(shown_ > 0 \&\& now - drawn_ < progress_redraw_interval)) {#' \
  "stdout and stderr on one terminal over a slowed run: redraws counted"
mutant output/output.cpp "a C1 control in a name is printed raw" \
  's#if (sequence == 2 \&\& c == 0xC2 \&\& static_cast<unsigned char>(at\[1\]) <= 0x9F) {#if (false) {#' \
  "a name holding U+009B: printed quoted, as \\u009b"
mutant output/output.cpp "a pipe is handed lines in writes that may end mid-line" \
  's#if (is_pipe_ || ending) {#if (ending) {#' \
  "SIGTERM with stdout a full pipe: the reader's last line is whole"
mutant run/scheduler.cpp "a worker goes on patching its batch after a signal" \
  's#} else if (arrived_signal() != 0) {#} else if (false) {#' \
  "a parallel run signalled while it patches: no file started after the signal"
mutant undo/undo.cpp "undo takes any file of the recorded length for the one recorded" \
  's#return crc == record.header.sectors_crc ? verdict::same : verdict::differs;#return verdict::same;#' \
  "a file replaced by another of the same length: left alone"
mutant undo/undo.cpp "undo counts words whose write failed" \
  's#\*restored += word.first < done.written;#*restored += word.first < size;#' \
  "every undo write failed: nothing counted as put back"

mutant run/scheduler.cpp "several jobs leave the walk's own folders out of the descriptor budget" \
  's#open_folders() + 2 \* (in_flight_.size() + 1) + descriptors_kept <= descriptors_;#2 * (in_flight_.size() + 1) + descriptors_kept <= descriptors_;#' \
  "a descriptor limit and a chain of folders nearly as deep as one job can go: several jobs give what one gives"
mutant patch/patch_file.cpp "a real run decides from the archive header read before the lock" \
  's#^    if (target.update_error != 0) {#    if (true) {#' \
  "an archive that is no longer one once the run holds its lock: left alone"
mutant patch/patch_file.cpp "a loose model longer than a window with nothing to whiten is locked" \
  's#^        if (arrived_signal() != 0 ||#        if (true ||#' \
  "a white model of 5 MiB held by another run's lock: patched 0, no failure"
mutant patch/patch_file.cpp "a loose model's grey past its first window is missed by the read before the lock" \
  's#^        if (cursor.ended || cursor.position >= size) {#        if (true) {#' \
  "a loose model with grey only past its first window: whitened"
mutant output/json.cpp "base64 of a name drops its last padding character" \
  's#out += i + 2 < length ? alphabet\[value \& 63\] : .=.;#if (i + 2 < length) out += alphabet[value \& 63];#' \
  "names of every length mod 3 in --json, read back by a strict base64 decoder"
mutant output/json.cpp "base64 of a name sets bits past its last byte" \
  's#(i + 1 < length ? static_cast<unsigned>(bytes\[i + 1\]) << 8 : 0u)#(i + 1 < length ? static_cast<unsigned>(bytes[i + 1]) << 8 : 0xFF00u)#' \
  "names of every length mod 3 in --json, read back by a strict base64 decoder"
mutant output/output.cpp "a path that fails twice, other failures between, is counted and listed twice" \
  '/^void run_printer::print_summary/,/^}/{/drop_repeated_failures();/d}' \
  "a missing path named twice with another failure between: 2 failed, each listed once"
mutant platform/file_io_posix.cpp "where there is no /proc, the file opened again by name is not checked to be the same" \
  's#if (!S_ISREG(info.st_mode) || !(identity_of(info) == expected)) {#if (!S_ISREG(info.st_mode) || identity_of(info).device != expected.device) {#' \
  "no /proc, and another file put in the archive's place before it is opened again: refused"
mutant write_back/write_back.cpp "the check before writing lets through a file that grew" \
  's#if (size != target.opened_size) {#if (size < target.opened_size) {#' \
  "a file lengthened by another program, its bytes unchanged, while the run walks it: not written"
mutant patch/patch_model.cpp "a window after the first starts where the walk stopped, not on a sector" \
  's#window_start = cursor.position >> sector_shift << sector_shift;#window_start = cursor.position;#' \
  "grey in a model's second window: every write starts and ends on a sector (count the offsets)"
mutant write_back/write_back.cpp "a window's writes land at their place in the window, not in the file" \
  's#write_at(target.file, offset + begin, data + begin#write_at(target.file, begin, data + begin#' \
  "grey in an entry, or in a model's second window: the bytes after the run"

count=${#files[@]}
if ((only < 0 || only > count)); then
  echo "--only: there are $count mutants" >&2
  exit 2
fi

scratch=$(mktemp -d /tmp/img-whiten-mutants-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/tree
mkdir -p "$tree" "$scratch/pristine" "$scratch/logs" "$scratch/tmp"
# What a test leaves behind when stopped goes with the copy; the cases run as
# an unprivileged user must reach their folders through it.
chmod 755 "$scratch" "$scratch/tmp"
export TMPDIR=$scratch/tmp
# The tree as it is now, committed or not, without build folders.
git -C "$root" ls-files -z --cached --others --exclude-standard |
  tar -C "$root" --null --no-recursion -T - -cf - | tar -xf - -C "$tree"
cp -R "$tree"/src/. "$scratch/pristine/"

# The README's test command, in the copy; its output goes to $1.
build_and_test() {
  (cd "$tree" && env -u CI cmake -S . -B build -DIMG_WHITEN_TESTS=ON >"$1" 2>&1 && cmake --build build -j2 >>"$1" 2>&1) ||
    return 2
  (cd "$tree" && ctest --test-dir build --output-on-failure --no-tests=error -j2 --stop-on-failure >>"$1" 2>&1) ||
    return 1
}

failed_tests() {
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|Not Run\|.*Exception\|SEGFAULT\|Subprocess.*\))$/\1/p' "$1" |
    paste -sd, -
}

echo "== the unmutated tree (a first build takes a few minutes)"
build_and_test "$scratch/logs/baseline"
case $? in
  0) ;;
  2) echo "the unmutated tree does not build: see below" >&2; tail -30 "$scratch/logs/baseline" >&2; exit 1 ;;
  *) echo "the unmutated tree fails its tests: $(failed_tests "$scratch/logs/baseline")" >&2; exit 1 ;;
esac

caught=0 missed=0 unapplied=0 unbuilt=0
missed_list=()
for ((i = 0; i < count; ++i)); do
  number=$((i + 1))
  ((only == 0 || only == number)) || continue
  file=src/${files[i]}
  label=$(printf '[%2d/%d] %s: %s' "$number" "$count" "${files[i]}" "${descriptions[i]}")
  sed -e "${expressions[i]}" "$scratch/pristine/${files[i]}" >"$tree/$file"
  if cmp -s "$scratch/pristine/${files[i]}" "$tree/$file"; then
    echo "did not apply  $label"
    ((++unapplied))
    continue
  fi
  log=$scratch/logs/$number
  start=$SECONDS
  build_and_test "$log"
  status=$?
  took=$((SECONDS - start))
  case $status in
    0)
      echo "MISSED         $label (${took}s)"
      echo "               would be caught by: ${hints[i]}"
      missed_list+=("$number: ${descriptions[i]}")
      ((++missed))
      ;;
    1)
      echo "caught         $label (${took}s, by $(failed_tests "$log"))"
      ((++caught))
      ;;
    *)
      echo "did not build  $label"
      ((++unbuilt))
      ;;
  esac
  cp "$scratch/pristine/${files[i]}" "$tree/$file"
done

tried=$((caught + missed))
echo "== score: $caught caught of $tried mutants that built ($((tried > 0 ? 100 * caught / tried : 0))%)"
((unapplied == 0)) || echo "   $unapplied did not apply: their expressions no longer match the source"
((unbuilt == 0)) || echo "   $unbuilt did not build"
for line in "${missed_list[@]}"; do
  echo "   missed $line"
done
((unapplied == 0 && unbuilt == 0))
