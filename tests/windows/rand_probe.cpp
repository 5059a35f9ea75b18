// Prints RAND_MAX and the first rand() values after srand(SEED), to learn
// under wine which generator the Windows C library really has.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: rand_probe SEED COUNT\n", stderr);
        return 2;
    }
    std::printf("RAND_MAX %d\n", RAND_MAX);
    std::srand(static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)));
    const long count = std::strtol(argv[2], nullptr, 10);
    for (long i = 0; i < count; ++i) {
        std::printf("%d\n", std::rand());
    }
    return 0;
}
