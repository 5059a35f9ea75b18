// Copying the input's lines to the output in the shuffled order.
//
// The output order is cut into windows of consecutive output lines. For each
// window the writer sets the wanted lines in a bitmap, which puts them in
// file order, reads the parts of the input that hold them in that order (a
// dense window is one sequential pass, a sparse one a series of positioned
// reads, merged across small gaps), copies each wanted line into the
// window's buffer, then writes the window out in output order. Each window costs at most one pass over the input, so
// windows are as large as the memory promise allows: a fixed base plus a few
// bytes for every input line. The number of passes thus stays a small
// constant for a given line length, however large the file.
//
// A line that does not fit its window goes out alone, read piece by piece
// from the nearest mark, so memory never depends on how long lines are.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "newline_scan.h"
#include "run_state.h"

namespace line_shuffler {

namespace {

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

// Output lines are gathered into writes of this size.
constexpr std::size_t OUTPUT_BUFFER_SIZE = std::size_t{64} * 1024;

// The memory promise: peak resident memory at most this base plus this much
// for every input line, whatever the lines' lengths.
constexpr std::uint64_t PROMISED_BASE_BYTES = 24 * MIB;
constexpr std::uint64_t PROMISED_BYTES_PER_LINE = 9;

// What a run holds besides the order, the marks and the windows: code, the C
// library, stack, the read and output buffers. A one-line file peaks at
// about 3 MiB; the rest is slack.
constexpr std::uint64_t RUN_OVERHEAD_BYTES = 5 * MIB;

// Below this, windows would cost more passes than they save; if even this
// much memory can't be had, every line goes out alone.
constexpr std::uint64_t SMALLEST_WINDOW_BYTES = std::uint64_t{256} * 1024;

// Each line in a window costs this much beside its bytes: where its bytes
// end in the window.
constexpr std::uint64_t INDEX_BYTES_PER_WINDOW_LINE = sizeof(std::uint32_t);

// Where a line's bytes end in the window, with the top bit set for a line
// that did not fit; so a window holds less than 2 GiB.
constexpr std::uint32_t NOT_GATHERED = std::uint32_t{1} << 31;
constexpr std::uint64_t LARGEST_WINDOW_BYTES = NOT_GATHERED - 1;

// Wanted lines closer than this are read in one go: the bytes in between
// cost less than another system call, or another seek on a disk.
constexpr std::uint64_t MERGE_GAP = std::uint64_t{32} * 1024;

// How many lines the output step takes at a time, and the size of the
// processor's cache line.
constexpr std::size_t WRITE_BATCH = 64;
constexpr std::size_t CACHE_LINE_BYTES = 64;

// A read call costs about as much as passing over this many bytes in a
// window's pass, measured on files in the page cache.
constexpr std::uint64_t READ_CALL_COST_BYTES = 4096;

// A window planned from the average line length is filled to this fraction
// of its buffer, so that random variation in the lines drawn rarely
// overflows it.
constexpr std::uint64_t PLANNED_FILL_32THS = 31;

[[noreturn]] void input_changed() {
    throw run_failure{failure::input_changed};
}

// Gathers small writes into large ones.
class output_buffer {
public:
    explicit output_buffer(platform::output_handle& file) : file_(file) { buffer_.allocate(OUTPUT_BUFFER_SIZE); }

    void write(std::span<const char> bytes) {
        if (bytes.size() > buffer_.size() - used_) {
            flush();
            if (bytes.size() >= buffer_.size()) {
                write_through(bytes);
                return;
            }
        }
        std::memcpy(buffer_.span().data() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }

    void flush() {
        write_through(buffer_.span().first(used_));
        used_ = 0;
    }

    // Room for `size` more bytes, at most OUTPUT_BUFFER_SIZE, to be filled in
    // place and then kept with commit().
    std::span<char> room(std::size_t size) {
        if (size > buffer_.size() - used_) {
            flush();
        }
        return buffer_.span().subspan(used_, size);
    }

    void commit(std::size_t size) { used_ += size; }

private:
    void write_through(std::span<const char> bytes) {
        if (!bytes.empty() && !file_.write_all(bytes)) {
            throw run_failure{failure::write_failed};
        }
    }

    platform::output_handle& file_;
    std::size_t used_ = 0;
    page_buffer buffer_;
};

// ---------------------------------------------------------------------------
// One line alone, for a line too long for its window: a positioned read from
// the nearest mark, and the line copied piece by piece.

// Reads the piece of the input that starts at `offset` into the read
// buffer: `wanted` bytes, or what is left of the input as counted, or what
// the buffer holds, whichever is least.
std::span<const char> read_piece(run_state& run, std::uint64_t offset, std::uint64_t wanted) {
    const std::uint64_t left = run.input_size - offset;
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>({wanted, left, run.read_buffer.size()}));
    const std::span<char> buffer = run.read_buffer.span().first(size);
    const platform::io_result got = run.input_file.read_at(buffer, offset);
    if (got < 0) {
        throw run_failure{failure::read_failed};
    }
    if (static_cast<std::size_t>(got) != size) {
        input_changed();  // shorter than when it was counted
    }
    return buffer;
}

// How many bytes to ask for to reach the end of `lines` more lines: a
// quarter more than the input's average line plus one byte (so never
// nothing, even for empty lines), never less than a banner-length line,
// rounded to whole 512-byte sectors.
std::uint64_t read_size_for(std::uint64_t average_plus_one, std::uint64_t lines) {
    const std::uint64_t estimate = lines * average_plus_one + lines * average_plus_one / 4;
    constexpr std::uint64_t sector = 512;
    return std::max<std::uint64_t>(LINE_BUFFER_SIZE, (estimate + sector - 1) / sector * sector);
}

const char* find_newline(std::span<const char> piece) {
    return static_cast<const char*>(std::memchr(piece.data(), '\n', piece.size()));
}

// The offset where the group of lines that starts at `mark` ends: the next mark,
// or the end of the input.
std::uint64_t group_end(const run_state& run, const line_mark& mark) {
    const line_mark next = run.marks.mark_at_or_before(mark.line_number + run.marks.interval());
    return next.line_number > mark.line_number ? next.offset : run.input_size;
}

// With a mark on every line, a line's bytes are known before they are read:
// up to the output buffer's size they are read straight into it, with no
// search for the newline and no copy. False if the line is not such a one.
bool read_marked_line(run_state& run, const line_mark& mark, bool last, output_buffer& out) {
    const std::uint64_t size = group_end(run, mark) - mark.offset;
    if (run.marks.interval() != 1 || size > OUTPUT_BUFFER_SIZE) {
        return false;
    }
    const std::span<char> into = out.room(static_cast<std::size_t>(size));
    const platform::io_result got = into.empty() ? 0 : run.input_file.read_at(into, mark.offset);
    if (got < 0) {
        throw run_failure{failure::read_failed};
    }
    if (static_cast<std::uint64_t>(got) != size || (!last && (into.empty() || into.back() != '\n'))) {
        input_changed();
    }
    out.commit(into.size());
    if (last) {
        out.write(run.added_line_end);
    }
    return true;
}

// Copies input line `line` (1-based) to the output.
void copy_line_alone(run_state& run, line_number line, output_buffer& out) {
    const std::uint64_t average_plus_one = run.input_size / run.line_count + 1;
    const bool last = line == run.line_count;
    const line_mark mark = run.marks.mark_at_or_before(line);
    if (read_marked_line(run, mark, last, out)) {
        return;
    }
    run.current_line_number = static_cast<line_number>(mark.line_number);
    std::uint64_t offset = mark.offset;

    // Later pieces grow, so that a line far longer than the average takes
    // few reads.
    std::uint64_t request = read_size_for(average_plus_one, line - run.current_line_number + 1);
    std::span<const char> piece = read_piece(run, offset, request);
    offset += piece.size();
    const auto next_piece = [&](std::uint64_t lines_left) {
        request = std::min<std::uint64_t>(READ_BUFFER_SIZE,
                                          std::max(request * 2, read_size_for(average_plus_one, lines_left)));
        piece = read_piece(run, offset, request);
        offset += piece.size();
    };

    // Pass over the lines between the mark and the wanted line.
    while (run.current_line_number < line) {
        if (const char* newline = find_newline(piece)) {
            piece = piece.subspan(static_cast<std::size_t>(newline + 1 - piece.data()));
            ++run.current_line_number;
            continue;
        }
        if (offset == run.input_size) {
            input_changed();  // counted lines are gone
        }
        next_piece(line - run.current_line_number + 1);
    }

    // The wanted line starts at the front of the piece.
    for (;;) {
        if (const char* newline = find_newline(piece)) {
            if (last) {
                input_changed();  // the last line had no newline when counted
            }
            out.write(piece.first(static_cast<std::size_t>(newline + 1 - piece.data())));
            return;
        }
        out.write(piece);
        if (offset == run.input_size) {
            if (!last) {
                input_changed();
            }
            out.write(run.added_line_end);
            return;
        }
        next_piece(1);
    }
}

// ---------------------------------------------------------------------------
// Windows.

// The lines one window wants, one bit per input line. Setting the bits sorts
// the lines into file order, and a running count for every 64 lines gives
// each wanted line its place among them: its rank.
class wanted_lines {
public:
    // False if the memory can't be had.
    bool reserve(std::uint64_t line_count) {
        words_ = static_cast<std::size_t>((line_count + 63) / 64);
        bits_.reset(new (std::nothrow) std::uint64_t[words_]());
        before_.reset(new (std::nothrow) std::uint32_t[words_]);
        return bits_ && before_;
    }

    static std::uint64_t bytes_for(std::uint64_t line_count) {
        return (line_count + 63) / 64 * (sizeof(std::uint64_t) + sizeof(std::uint32_t));
    }

    void add(std::uint64_t line) {
        bits_[static_cast<std::size_t>((line - 1) / 64)] |= std::uint64_t{1} << ((line - 1) % 64);
    }

    // Counts the wanted lines before every word, once all are added.
    void count() {
        std::uint32_t total = 0;
        for (std::size_t word = 0; word < words_; ++word) {
            before_[word] = total;
            total += static_cast<std::uint32_t>(count_bits(bits_[word]));
        }
    }

    // The place of wanted `line` among the wanted lines in file order.
    std::size_t rank(std::uint64_t line) const {
        const auto word = static_cast<std::size_t>((line - 1) / 64);
        const std::uint64_t below = (std::uint64_t{1} << ((line - 1) % 64)) - 1;
        return before_[word] + static_cast<std::size_t>(count_bits(bits_[word] & below));
    }

    const void* rank_data(std::uint64_t line) const { return before_.get() + (line - 1) / 64; }
    const void* bit_data(std::uint64_t line) const { return bits_.get() + (line - 1) / 64; }

    void clear() { std::fill_n(bits_.get(), words_, 0); }

    // The wanted lines in file order.
    class cursor {
    public:
        explicit cursor(const wanted_lines& lines) : lines_(&lines) {}
        // The next wanted line, or 0 after the last.
        std::uint64_t next() {
            while (rest_ == 0) {
                if (++word_ >= lines_->words_) {
                    return 0;
                }
                rest_ = lines_->bits_[word_];
            }
            const auto bit = static_cast<std::uint64_t>(std::countr_zero(rest_));
            rest_ &= rest_ - 1;
            return word_ * 64 + bit + 1;
        }

    private:
        const wanted_lines* lines_;
        std::size_t word_ = static_cast<std::size_t>(-1);
        std::uint64_t rest_ = 0;
    };

private:
    std::size_t words_ = 0;
    std::unique_ptr<std::uint64_t[]> bits_;
    std::unique_ptr<std::uint32_t[]> before_;
};

// Reads the input forward through one buffer and passes over lines or hands
// out their bytes. Reads go no further than the end of the current cluster
// of wanted lines, unless a line runs past it.
class input_scanner {
public:
    input_scanner(const run_state& run, std::span<char> buffer) : run_(run), buffer_(buffer) {}

    void read_no_further_than(std::uint64_t offset) { read_until_ = offset; }

    // Goes to the start of `line`, at or after the current one: straight to
    // its mark if that is ahead (within what is buffered, or with a new
    // read), then over the lines between.
    void go_to(std::uint64_t line, const line_mark& mark) {
        if (line_ < mark.line_number) {
            if (mark.offset < position_) {
                input_changed();  // the lines before the mark are longer than counted
            }
            if (mark.offset >= buffered_to_) {
                buffered_from_ = buffered_to_ = mark.offset;
            } else if (mark.offset > buffered_from_ && buffer_[index_of(mark.offset) - 1] != '\n') {
                input_changed();  // the mark is no longer where a line starts
            }
            line_ = mark.line_number;
            position_ = mark.offset;
        }
        pass_over(line - line_);
    }

    // Hands the current line's bytes, its line end included, to `take` in
    // one or more pieces, and moves past it. The input's last line gets the
    // input's own line end, as it has none.
    template <typename piece_function>
    void take_line(piece_function&& take) {
        const bool last = line_ == run_.line_count;
        for (;;) {
            if (position_ == buffered_to_ && !read_more()) {
                if (!last) {
                    input_changed();  // a line that had a newline when counted has none
                }
                take(std::span<const char>{run_.added_line_end});
                ++line_;
                return;
            }
            const std::span<const char> rest = buffered();
            const void* newline = std::memchr(rest.data(), '\n', rest.size());
            if (newline != nullptr) {
                if (last) {
                    input_changed();  // the last line had no newline when counted
                }
                const auto size = static_cast<std::size_t>(static_cast<const char*>(newline) - rest.data()) + 1;
                take(rest.first(size));
                position_ += size;
                ++line_;
                return;
            }
            take(rest);
            position_ += rest.size();
        }
    }

private:
    std::size_t index_of(std::uint64_t offset) const { return static_cast<std::size_t>(offset - buffered_from_); }

    std::span<const char> buffered() const {
        return std::span<const char>{buffer_}.subspan(index_of(position_),
                                                      index_of(buffered_to_) - index_of(position_));
    }

    void pass_over(std::uint64_t lines) {
        while (lines > 0) {
            if (position_ == buffered_to_ && !read_more()) {
                input_changed();  // counted lines are gone
            }
            const std::span<const char> rest = buffered();
            const std::uint64_t before = lines;
            const char* const after = skip_newlines(rest.data(), rest.data() + rest.size(), lines);
            position_ += static_cast<std::uint64_t>(after - rest.data());
            line_ += before - lines;
        }
    }

    // Reads on from position_, the end of what is buffered. False at the end
    // of the input as counted.
    bool read_more() {
        const std::uint64_t left = run_.input_size - position_;
        if (left == 0) {
            return false;
        }
        const std::uint64_t planned = read_until_ > position_ ? read_until_ - position_ : LINE_BUFFER_SIZE;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>({left, planned, buffer_.size()}));
        const platform::io_result got = run_.input_file.read_at(buffer_.first(size), position_);
        if (got < 0) {
            throw run_failure{failure::read_failed};
        }
        if (static_cast<std::size_t>(got) != size) {
            input_changed();  // shorter than when it was counted
        }
        buffered_from_ = position_;
        buffered_to_ = position_ + size;
        return true;
    }

    const run_state& run_;
    std::span<char> buffer_;
    std::uint64_t line_ = 1;
    std::uint64_t position_ = 0;
    std::uint64_t buffered_from_ = 0;
    std::uint64_t buffered_to_ = 0;
    std::uint64_t read_until_ = 0;
};

class window_writer {
public:
    window_writer(run_state& run, output_buffer& out) : run_(run), out_(out) {}

    // Takes the memory for the windows; false if even the smallest window
    // can't be had, and then every line goes out alone.
    bool reserve() {
        const std::uint64_t count = run_.line_count;
        if (!wanted_.reserve(count)) {
            return false;
        }
        std::uint64_t budget = run_.limits.window_bytes != 0 ? run_.limits.window_bytes : default_budget();
        const std::uint64_t whole_input = run_.input_size + run_.added_line_end.size();
        const std::uint64_t line_bytes = (whole_input + count - 1) / count;
        for (;; budget /= 2) {
            if (run_.limits.window_bytes == 0 && budget < SMALLEST_WINDOW_BYTES) {
                return false;
            }
            const std::uint64_t index =
                budget / (line_bytes + INDEX_BYTES_PER_WINDOW_LINE) * INDEX_BYTES_PER_WINDOW_LINE;
            capacity_ = std::min({budget - index, whole_input, LARGEST_WINDOW_BYTES});
            max_lines_ = std::clamp<std::uint64_t>((budget - capacity_) / INDEX_BYTES_PER_WINDOW_LINE, 1, count);
            // Left uninitialised, so that only what a window fills becomes
            // resident.
            bytes_.reset(new (std::nothrow) char[static_cast<std::size_t>(std::max<std::uint64_t>(capacity_, 1))]);
            ends_.reset(new (std::nothrow) std::uint32_t[static_cast<std::size_t>(max_lines_)]);
            if (bytes_ && ends_) {
                break;
            }
        }
        const std::uint64_t planned_lines =
            capacity_ >= whole_input ? count : capacity_ * PLANNED_FILL_32THS / 32 / line_bytes;
        next_lines_ = std::clamp<std::uint64_t>(planned_lines, 1, max_lines_);
        return true;
    }

    // Whether windows cost less than reading every line alone. A window
    // costs a pass over the input; a line alone costs a read call and the
    // bytes from its mark on. Windows win on many short lines, lines alone
    // on long ones, where a window holds so few that the passes outweigh
    // the calls.
    bool cheaper_than_lines_alone() const {
        const std::uint64_t count = run_.line_count;
        if (run_.limits.window_bytes != 0) {
            return true;
        }
        const std::uint64_t whole_input = run_.input_size + run_.added_line_end.size();
        const std::uint64_t fill = std::max<std::uint64_t>(1, capacity_ * PLANNED_FILL_32THS / 32);
        const std::uint64_t passes = (whole_input + fill - 1) / fill;
        const std::uint64_t lines_from_mark = (run_.marks.interval() + 1) / 2;
        const std::uint64_t line_bytes = whole_input / count;
        const std::uint64_t alone = count * (READ_CALL_COST_BYTES + lines_from_mark * line_bytes);
        return passes <= alone / whole_input;
    }

    // Writes the output lines from `first` on that one window holds; returns
    // how many were written, at least one.
    std::uint64_t write_window(std::uint64_t first) {
        const std::uint64_t left = run_.line_count - first;
        const std::uint64_t lines = std::min(left, next_lines_);
        const std::span<const line_number> window{run_.shuffle_order.get() + first, static_cast<std::size_t>(lines)};
        for (const line_number line : window) {
            wanted_.add(line);
        }
        wanted_.count();
        const std::uint64_t bytes = gather();
        const std::uint64_t per_line = std::max<std::uint64_t>(1, (bytes + lines - 1) / lines);
        next_lines_ = std::clamp<std::uint64_t>(capacity_ * PLANNED_FILL_32THS / 32 / per_line, 1, max_lines_);
        const std::uint64_t written = write_in_order(first, window);
        wanted_.clear();
        return written;
    }

private:
    // What the promise leaves for the windows once the order, the marks and
    // the wanted-line bits have taken theirs.
    std::uint64_t default_budget() const {
        const std::uint64_t count = run_.line_count;
        const std::uint64_t promised = PROMISED_BASE_BYTES + PROMISED_BYTES_PER_LINE * count;
        const std::uint64_t taken = RUN_OVERHEAD_BYTES + sizeof(line_number) * count + run_.marks.memory_bytes() +
                                    wanted_lines::bytes_for(count);
        return promised > taken ? promised - taken : 0;
    }

    // Reads the parts of the input that hold the window's lines, in file
    // order, and copies each line into the window while it has room. Returns
    // the bytes of all the lines, those that did not fit included.
    std::uint64_t gather() {
        input_scanner scanner{run_, run_.read_buffer.span().first(read_bytes())};
        std::uint64_t used = 0;
        std::uint64_t all = 0;
        std::uint64_t read_until = 0;
        std::size_t rank = 0;
        wanted_lines::cursor lines{wanted_};
        for (std::uint64_t line; (line = lines.next()) != 0; ++rank) {
            const line_mark mark = run_.marks.mark_at_or_before(line);
            if (rank == 0 || mark.offset > read_until + MERGE_GAP) {
                read_until = cluster_end(mark, lines);
                scanner.read_no_further_than(read_until);
            }
            scanner.go_to(line, mark);
            const std::uint64_t start = used;
            bool fits = true;
            scanner.take_line([&](std::span<const char> piece) {
                all += piece.size();
                if (fits && piece.size() <= capacity_ - used) {
                    std::memcpy(bytes_.get() + used, piece.data(), piece.size());
                    used += piece.size();
                } else {
                    fits = false;
                }
            });
            if (!fits) {
                used = start;
            }
            ends_[rank] = static_cast<std::uint32_t>(used) | (fits ? 0 : NOT_GATHERED);
        }
        return all;
    }

    // Where the reads for a cluster of wanted lines can stop: the end of the
    // last group of lines that lies within MERGE_GAP of the one before.
    std::uint64_t cluster_end(const line_mark& first, wanted_lines::cursor ahead) const {
        std::uint64_t end = group_end(run_, first);
        for (std::uint64_t line; (line = ahead.next()) != 0;) {
            const line_mark mark = run_.marks.mark_at_or_before(line);
            if (mark.offset > end + MERGE_GAP) {
                break;
            }
            end = std::max(end, group_end(run_, mark));
        }
        return end;
    }

    std::size_t read_bytes() const {
        const std::size_t size = run_.read_buffer.size();
        return run_.limits.read_bytes != 0 ? std::min(run_.limits.read_bytes, size) : size;
    }

    // Writes the window's lines in output order, up to the first that did
    // not fit: it starts the next window. A first line that did not fit goes
    // out alone.
    //
    // The lines go out in random order from a window far larger than the
    // processor's cache, and each would wait for memory three times in a
    // row: for its rank, for where it ends, then for its bytes. So the lines
    // are taken a batch at a time, one step for the whole batch before the
    // next, and each step asks for what the next step reads: the waits of a
    // batch overlap instead of adding up.
    std::uint64_t write_in_order(std::uint64_t first, std::span<const line_number> window) {
        std::array<std::uint32_t, WRITE_BATCH> ends{};
        std::array<std::uint32_t, WRITE_BATCH> starts{};
        for (std::size_t batch = 0; batch < window.size(); batch += WRITE_BATCH) {
            const std::span<const line_number> lines =
                window.subspan(batch, std::min(WRITE_BATCH, window.size() - batch));
            for (const line_number line : lines) {
                prefetch(wanted_.rank_data(line));
                prefetch(wanted_.bit_data(line));
            }
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const std::size_t rank = wanted_.rank(lines[i]);
                ends[i] = static_cast<std::uint32_t>(rank);
                prefetch(ends_.get() + (rank == 0 ? 0 : rank - 1));
            }
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const std::size_t rank = ends[i];
                ends[i] = ends_[rank];
                starts[i] = rank == 0 ? 0 : ends_[rank - 1] & ~NOT_GATHERED;
                prefetch(bytes_.get() + starts[i]);
                prefetch(bytes_.get() + starts[i] + CACHE_LINE_BYTES);
            }
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const std::size_t position = batch + i;
                if ((ends[i] & NOT_GATHERED) != 0) {
                    if (position > 0) {
                        return position;
                    }
                    copy_line_alone(run_, lines[i], out_);
                } else {
                    out_.write(std::span<const char>{bytes_.get() + starts[i], ends[i] - starts[i]});
                }
                run_.progress.update(first + position + 1);
            }
        }
        return window.size();
    }

    static void prefetch(const void* address) noexcept {
#if defined(__GNUC__)
        __builtin_prefetch(address);
#else
        (void)address;
#endif
    }

    run_state& run_;
    output_buffer& out_;
    wanted_lines wanted_;
    std::uint64_t capacity_ = 0;
    std::uint64_t max_lines_ = 0;
    std::uint64_t next_lines_ = 0;
    std::unique_ptr<char[]> bytes_;
    std::unique_ptr<std::uint32_t[]> ends_;
};

}  // namespace

void write_shuffled_lines(run_state& run) {
    output_buffer out{run.output_file};
    const std::uint64_t count = run.line_count;
    run.read_buffer.allocate(READ_BUFFER_SIZE);
    window_writer windows{run, out};
    if (windows.reserve() && windows.cheaper_than_lines_alone()) {
        for (std::uint64_t done = 0; done < count;) {
            done += windows.write_window(done);
        }
    } else {
        for (std::uint64_t done = 0; done < count; ++done) {
            copy_line_alone(run, run.shuffle_order[static_cast<std::size_t>(done)], out);
            run.progress.update(done + 1);
        }
    }
    out.flush();
    run.progress.erase();
    check_input_unchanged(run);
}

}  // namespace line_shuffler
