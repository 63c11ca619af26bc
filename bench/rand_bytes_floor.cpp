// The floor for Korvane.rand.bytes: libcrypto's RAND_bytes called from C
// into a freshly allocated buffer, freed after each call, as a C caller
// that wanted n random bytes would do it.
//
// usage: rand_bytes_floor SIZE CALLS REPETITIONS
// Prints the best time per call over the repetitions, in nanoseconds.
#include <cstdio>
#include <cstdlib>
#include <ctime>

// libcrypto's own declaration, the same in every generation.
extern "C" int RAND_bytes(unsigned char *buffer, int count);

namespace {

// Like the module, the driver needs no C++ runtime, so that it links
// against a Debian 11 tree's older C library.
double now_in_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SIZE CALLS REPETITIONS\n", argv[0]);
        return 2;
    }
    const long size = std::atol(argv[1]);
    const long calls = std::atol(argv[2]);
    const long repetitions = std::atol(argv[3]);
    double best = 0;
    for (long repetition = 0; repetition < repetitions; ++repetition) {
        const double start = now_in_nanoseconds();
        for (long call = 0; call < calls; ++call) {
            auto *buffer = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
            if (buffer == nullptr || RAND_bytes(buffer, static_cast<int>(size)) != 1) {
                std::fprintf(stderr, "RAND_bytes failed\n");
                return 1;
            }
            std::free(buffer);
        }
        const double per_call = (now_in_nanoseconds() - start) / static_cast<double>(calls);
        if (repetition == 0 || per_call < best) {
            best = per_call;
        }
    }
    std::printf("%.1f\n", best);
    return 0;
}
