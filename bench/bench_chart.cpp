// Cost of one chart step at the 250-point cap: add a point, drop the oldest.
// Prints the mean and the 99th percentile per step, for one colour and for a
// colour change at every point (every point its own run).
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/PositionChart.h"

namespace {

constexpr int kCap = 250;
int kSteps = 100000;  // a first argument overrides it

struct Figures {
    double meanUs;
    double p99Us;
};

Figures Run(TPositionChart& chart, bool alternate) {
    chart.Clear();
    double x = 0;
    auto colorOf = [alternate](int i) { return alternate && (i % 2) ? clLightRed : clNavy; };
    // Fill to the cap first, so every timed step both adds and deletes.
    for (int i = 0; i < kCap; ++i, ++x) chart.AddPoint(x, 100.0 + (i % 17) * 0.01, colorOf(i));
    std::vector<double> us;
    us.reserve(kSteps);
    for (int i = 0; i < kSteps; ++i, ++x) {
        const auto t0 = std::chrono::steady_clock::now();
        chart.AddPoint(x, 100.0 + (i % 17) * 0.01, colorOf(i + kCap));
        if (chart.Count() > kCap) chart.DeleteFirst();
        const auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    double sum = 0;
    for (const double v : us) sum += v;
    std::sort(us.begin(), us.end());
    return {sum / kSteps, us[static_cast<std::size_t>(kSteps * 0.99)]};
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc > 1) kSteps = std::max(100, std::atoi(argv[1]));
    TPositionChart chart(nullptr);
    chart.resize(513, 379);
    chart.show();
    QApplication::processEvents();

    const Figures same = Run(chart, false);
    std::printf("one colour:          mean %8.2f us  p99 %8.2f us per step (%d steps, cap %d)\n",
                same.meanUs, same.p99Us, kSteps, kCap);
    const Figures alt = Run(chart, true);
    std::printf("alternating colours: mean %8.2f us  p99 %8.2f us per step (%d steps, cap %d)\n",
                alt.meanUs, alt.p99Us, kSteps, kCap);
    return 0;
}
