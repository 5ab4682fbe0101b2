// Cost of one chart step at the 250-point cap: add a point, drop the oldest.
// Prints the mean and the 99th percentile per step, for one colour and for a
// colour change at every point (every point its own run). The series follow
// the points once a frame, so the cost of bringing them up to date and
// drawing is given per frame, with a frame every kFrameSteps steps (readings
// every millisecond, a frame every 25 ms).
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

constexpr int kFrameSteps = 25;

struct Figures {
    double meanUs;
    double p99Us;
};

Figures Summarise(std::vector<double> us) {
    double sum = 0;
    for (const double v : us) sum += v;
    std::sort(us.begin(), us.end());
    return {sum / static_cast<double>(us.size()), us[us.size() * 99 / 100]};
}

using Clock = std::chrono::steady_clock;
double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

void Run(TPositionChart& chart, bool alternate, Figures& step, Figures& frame, Figures& drawOnly) {
    chart.Clear();
    double x = 0;
    auto colorOf = [alternate](int i) { return alternate && (i % 2) ? clLightRed : clNavy; };
    // Fill to the cap first, so every timed step both adds and deletes.
    for (int i = 0; i < kCap; ++i, ++x) chart.AddPoint(x, 100.0 + (i % 17) * 0.01, colorOf(i));
    chart.CatchUp();
    QCoreApplication::processEvents();
    chart.viewport()->repaint();
    std::vector<double> steps, frames;
    steps.reserve(static_cast<std::size_t>(kSteps));
    for (int i = 0; i < kSteps; ++i, ++x) {
        const auto t0 = Clock::now();
        chart.AddPoint(x, 100.0 + (i % 17) * 0.01, colorOf(i + kCap));
        if (chart.Count() > kCap) chart.DeleteFirst();
        const auto t1 = Clock::now();
        steps.push_back(Micros(t0, t1));
        if ((i + 1) % kFrameSteps == 0) {
            // The chart's frame: the series and ranges brought up to date,
            // the scene's changes taken in, then drawn.
            chart.CatchUp();
            QCoreApplication::processEvents();
            chart.viewport()->repaint();
            frames.push_back(Micros(t1, Clock::now()));
        }
    }
    step = Summarise(std::move(steps));
    frame = Summarise(std::move(frames));
    // The same frame with nothing to bring up to date: the drawing alone.
    std::vector<double> draws;
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        chart.viewport()->repaint();
        draws.push_back(Micros(t0, Clock::now()));
    }
    drawOnly = Summarise(std::move(draws));
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

    for (const bool alternate : {false, true}) {
        Figures step, frame, draw;
        Run(chart, alternate, step, frame, draw);
        std::printf("%s\n", alternate ? "alternating colours (every point its own run)" : "one colour (one run)");
        std::printf("  AddPoint+DeleteFirst    mean %9.2f us  p99 %9.2f us\n", step.meanUs, step.p99Us);
        std::printf("  frame every %2d steps    mean %9.1f us  p99 %9.1f us  (series update + drawing)\n",
                    kFrameSteps, frame.meanUs, frame.p99Us);
        std::printf("  drawing alone           mean %9.1f us  p99 %9.1f us\n", draw.meanUs, draw.p99Us);
    }
    std::printf("(%d steps at the %d-point cap)\n", kSteps, kCap);
    return 0;
}
