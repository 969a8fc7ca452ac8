// Writes synthetic MS2 of about the requested size, the same bytes for the same seed:
// H lines, then scans with S, I and one to three Z lines and 50 to 400 peak lines. With
// "annotated", an annotation line follows every peak line, and the size counts the input
// without them: the scans, and so the DTA files, are those of the same seed without.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

void usage() {
    std::fprintf(stderr, "usage: gen_ms2 megabytes seed output.ms2 [annotated]\n");
    std::exit(2);
}

void write_header(std::FILE *out) {
    std::fprintf(out, "H\tCreationDate\t2026-12-07\n");
    std::fprintf(out, "H\tExtractor\tgen_ms2\n");
    std::fprintf(out, "H\tComments\tsynthetic MS2 for benchmarks\n");
}

// Returns the bytes written but for annotation lines among the peaks.
long write_scan(std::FILE *out, std::mt19937_64 &random, int scan, bool annotated) {
    long notes = 0;
    std::uniform_real_distribution<double> precursor(350.0, 1800.0);
    std::uniform_int_distribution<int> charge_count(1, 3), peak_count(50, 400);
    std::uniform_real_distribution<double> step(0.5, 12.0), intensity(1.0, 50000.0);
    const double mz = precursor(random);
    std::fprintf(out, "S\t%06d\t%06d\t%.5f\n", scan, scan, mz);
    std::fprintf(out, "I\tRTime\t%.4f\n", scan * 0.0125);
    std::fprintf(out, "I\tBPI\t%.1f\n", intensity(random));
    const int charges = charge_count(random);
    for (int charge = 1; charge <= charges; ++charge) {
        const int z = charges == 1 ? 1 : charge + 1;
        std::fprintf(out, "Z\t%d\t%.5f\n", z, mz * z - (z - 1) * 1.00728);
    }
    double peak = 100.0;
    for (int peaks = peak_count(random); peaks > 0; --peaks) {
        peak += step(random);
        std::fprintf(out, "%.4f %.1f\n", peak, intensity(random));
        if (annotated) notes += std::fprintf(out, "I\tPeakNote\t%d\n", peaks);
    }
    return notes;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) usage();
    const bool annotated = argc == 5 && std::string(argv[4]) == "annotated";
    const long long megabytes = std::atoll(argv[1]);
    std::mt19937_64 random(std::strtoull(argv[2], nullptr, 10));
    std::FILE *out = std::fopen(argv[3], "wb");
    if (megabytes <= 0 || out == nullptr) usage();
    write_header(out);
    const long long size = megabytes * 1000 * 1000;
    long notes = 0;
    for (int scan = 1; std::ftell(out) - notes < size; ++scan) notes += write_scan(out, random, scan, annotated);
    if (std::fclose(out) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
