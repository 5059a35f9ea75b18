// The shuffle as first designed, kept only as the benchmark's baseline: one
// 1000-byte line buffer, and for every output line a rewind to the start of
// file.txt and a pass of fgets calls up to the line wanted. Its time grows
// with the square of the line count. Lines must be shorter than 999 bytes.
//
// usage: rewind_baseline   (in the folder that holds file.txt)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int LINE_BUFFER_SIZE = 1000;
char line_buffer[LINE_BUFFER_SIZE];

std::int32_t count_lines(std::FILE* input) {
    std::int32_t count = 1;
    for (int c; (c = std::fgetc(input)) != EOF;) {
        if (c == '\n') {
            ++count;
        }
    }
    return count;
}

std::uint32_t* make_shuffle_order(std::int32_t line_count) {
    auto* order = static_cast<std::uint32_t*>(std::calloc(static_cast<std::size_t>(line_count), sizeof(std::uint32_t)));
    if (order == nullptr) {
        return nullptr;
    }
    std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
    for (std::int32_t i = 0; i < line_count; ++i) {
        order[i] = static_cast<std::uint32_t>(i + 1);
    }
    for (std::int32_t n = line_count - 1; n > 0; --n) {
        const auto j = static_cast<std::uint32_t>(std::rand()) % (static_cast<std::uint32_t>(n) + 1);
        const std::uint32_t kept = order[n];
        order[n] = order[j];
        order[j] = kept;
    }
    return order;
}

void write_shuffled_lines(std::FILE* input, std::FILE* output, std::int32_t line_count, const std::uint32_t* order) {
    const auto count = static_cast<std::uint32_t>(line_count);
    std::uint32_t current_line_number = 1;
    std::fseek(input, 0, SEEK_SET);
    for (std::uint32_t i = 0; i < count;) {
        (void)std::fgets(line_buffer, LINE_BUFFER_SIZE, input);
        if (order[i] == current_line_number) {
            std::fputs(line_buffer, output);
            if (current_line_number == count) {
                std::fputs("\n", output);
            }
            ++i;
            current_line_number = 1;
            std::fseek(input, 0, SEEK_SET);
        } else {
            ++current_line_number;
        }
    }
}

}  // namespace

int main() {
    std::FILE* input = std::fopen("file.txt", "r");
    if (input == nullptr) {
        std::fputs("rewind_baseline: cannot open file.txt\n", stderr);
        return 1;
    }
    std::FILE* output = std::fopen("shuffled_file.txt", "w");
    if (output == nullptr) {
        std::fputs("rewind_baseline: cannot create shuffled_file.txt\n", stderr);
        std::fclose(input);
        return 1;
    }
    const std::int32_t line_count = count_lines(input);
    std::printf("Total line number: %d\n", line_count);
    std::uint32_t* const order = make_shuffle_order(line_count);
    if (order == nullptr) {
        std::fputs("rewind_baseline: out of memory\n", stderr);
        return 1;
    }
    write_shuffled_lines(input, output, line_count, order);
    std::free(order);
    std::fclose(input);
    if (std::ferror(output) != 0 || std::fclose(output) != 0) {
        std::fputs("rewind_baseline: cannot write shuffled_file.txt\n", stderr);
        return 1;
    }
    return 0;
}
