// Cost of the position chart at the 250-point cap: one chart step (add a
// point, drop the oldest), and one chart frame, for one colour and for a
// colour change at every point (every point its own run).
//
//   bench_chart [STEPS] [--platform NAME]
//
// A frame is the chart's paint after kFrameSteps steps (readings every
// millisecond, a frame every 25 ms): the ranges have moved on, so the axes,
// grid and labels are drawn again, then the line. "Drawing alone" is the
// same paint with nothing changed since the last one (a paint asked for by
// something else, an expose). Both include putting the chart on the screen:
// with --platform xcb (bench/chart_x11.sh) that is the X server's window.
//
// Times are wall-clock; "CPU" is the processor time of this thread over the
// same stretches, which a busy machine disturbs less: it does not count the
// time the thread waited for a processor.
#include <time.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/PositionChart.h"

namespace {

constexpr int kCap = 250;
constexpr int kFrameSteps = 25;
// The frame this chart is meant to stay within.
constexpr double kFrameGoalUs = 250;

struct Figures {
    double meanUs;
    double p50Us;
    double p99Us;
};

Figures Summarise(std::vector<double> us) {
    double sum = 0;
    for (const double v : us) sum += v;
    std::sort(us.begin(), us.end());
    return {sum / static_cast<double>(us.size()), us[us.size() / 2], us[us.size() * 99 / 100]};
}

using Clock = std::chrono::steady_clock;
double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

double ThreadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

void Run(TPositionChart& chart, int steps, bool alternate, Figures& step, Figures& frame,
         Figures& drawOnly, double& frameCpuUs, double& drawCpuUs) {
    chart.Clear();
    double x = 0;
    auto colorOf = [alternate](int i) { return alternate && (i % 2) ? clLightRed : clNavy; };
    // A moving axis: the position climbs, wobbling, so both ranges change.
    auto yOf = [](int i) { return 100.0 + i * 0.002 + (i % 17) * 0.01; };
    // Fill to the cap first, so every timed step both adds and deletes.
    for (int i = 0; i < kCap; ++i, ++x) chart.AddPoint(x, yOf(i), QString(), colorOf(i));
    chart.repaint();
    std::vector<double> steps_, frames;
    steps_.reserve(static_cast<std::size_t>(steps));
    for (int i = 0; i < steps; ++i, ++x) {
        const auto t0 = Clock::now();
        chart.AddPoint(x, yOf(i + kCap), QString(), colorOf(i + kCap));
        if (chart.Count() > kCap) chart.DeleteFirst();
        const auto t1 = Clock::now();
        steps_.push_back(Micros(t0, t1));
        if ((i + 1) % kFrameSteps == 0) {
            const double c0 = ThreadCpuUs();
            chart.repaint();
            frames.push_back(Micros(t1, Clock::now()));
            frameCpuUs += ThreadCpuUs() - c0;
        }
    }
    frameCpuUs /= static_cast<double>(frames.size());
    step = Summarise(std::move(steps_));
    frame = Summarise(std::move(frames));
    std::vector<double> draws;
    const double c0 = ThreadCpuUs();
    for (int i = 0; i < 400; ++i) {
        const auto t0 = Clock::now();
        chart.repaint();
        draws.push_back(Micros(t0, Clock::now()));
    }
    drawCpuUs = (ThreadCpuUs() - c0) / static_cast<double>(draws.size());
    drawOnly = Summarise(std::move(draws));
}

}  // namespace

int main(int argc, char** argv) {
    int steps = 100000;
    std::string platform = "offscreen";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--platform") == 0 && i + 1 < argc) {
            platform = argv[++i];
        } else if (argv[i][0] != '-') {
            steps = std::max(1000, std::atoi(argv[i]));
        } else {
            std::fprintf(stderr, "usage: %s [STEPS] [--platform NAME]\n", argv[0]);
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    QApplication app(argc, argv);
    TPositionChart chart(nullptr);
    chart.resize(513, 379);
    chart.show();
    QApplication::processEvents();

    std::printf("Qt %s, platform %s, device pixel ratio %.2f\n", qVersion(),
                qPrintable(QGuiApplication::platformName()), chart.devicePixelRatioF());
    double worstFrame = 0;
    for (const bool alternate : {false, true}) {
        Figures step{}, frame{}, draw{};
        double frameCpu = 0, drawCpu = 0;
        Run(chart, steps, alternate, step, frame, draw, frameCpu, drawCpu);
        worstFrame = std::max(worstFrame, frameCpu);
        std::printf("%s\n", alternate ? "alternating colours (every point its own run)"
                                      : "one colour (one run)");
        std::printf("  AddPoint+DeleteFirst    mean %9.2f us  p50 %9.2f us  p99 %9.2f us\n",
                    step.meanUs, step.p50Us, step.p99Us);
        std::printf(
            "  frame every %2d steps    mean %9.1f us  p50 %9.1f us  p99 %9.1f us  CPU %7.1f us"
            "  (axes drawn again, then the line)\n",
            kFrameSteps, frame.meanUs, frame.p50Us, frame.p99Us, frameCpu);
        std::printf(
            "  drawing alone           mean %9.1f us  p50 %9.1f us  p99 %9.1f us  CPU %7.1f us\n",
            draw.meanUs, draw.p50Us, draw.p99Us, drawCpu);
    }
    std::printf("(%d steps at the %d-point cap)\n", steps, kCap);
    std::printf("Goal (information only): a chart frame at most %.0f us of CPU: %.1f us  %s\n",
                kFrameGoalUs, worstFrame, worstFrame <= kFrameGoalUs ? "PASS" : "MISS");
    return 0;
}
