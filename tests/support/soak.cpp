// The state-machine soak: random runs until at least the given number of
// events (a million by default), then the counts.
// Usage: statemachine-soak [EVENTS] [FIRST-SEED]

#include "statemachinedriver.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long long target = argc > 1 ? std::atoll(argv[1]) : 1'000'000;
    unsigned seed = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 1;
    RunCounts counts;
    long long failures = 0;
    while (counts.events < target) {
        const std::string failure = runRandomSequence(seed, 500, counts);
        if (!failure.empty()) {
            ++failures;
            std::fprintf(stderr, "seed %u: %s\n", seed, failure.c_str());
        }
        ++seed;
    }
    std::printf("events %lld\nsequences %u\nhandles acquired %lld\nhandles released %lld\n"
                "handles leaked %lld\ndouble releases %lld\nfailed sequences %lld\n",
        counts.events, seed - 1, counts.acquired, counts.released, counts.leaked,
        counts.doubleReleases, failures);
    return failures == 0 && counts.leaked == 0 && counts.doubleReleases == 0 ? 0 : 1;
}
