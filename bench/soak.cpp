// A shift in a few minutes: the real tool, on the X11 platform under a virtual
// X server of its own, against the simulated box, with the chart, a recording
// without a time limit and the traffic log switched on by clicks and keys, the
// way a user does it. Random faults of every kind the box can show come and go
// meanwhile. At the end it prints what happened and what the tool kept:
//
//   soak SECONDS [--interval MS] [--delay MS] [--seed N] [--keep DIR]
//
// SECONDS of faults and recovery after the set-up; the reading interval typed
// into the tool (default 1 ms); the box's reply delay (default 2 ms); the
// seed of the fault schedule (default: from the clock; printed). --keep copies
// the recording, the tool's log and a screenshot of the window at the end
// into DIR.
//
// It checks, and exits 1 when one fails: the tool is still running; readings
// were taken and recorded; every kind of fault came at least once; every
// recorded line is a frame the box served; no frame was recorded twice; the
// tool went back to reading after every fault. Descriptors and memory are
// printed, not judged: the log fills during the first minute at 1 ms, so a
// short run shows growth that a long one shows to stop.
//
// The tool runs from a copy in a temporary directory, so its recording files
// land there and nowhere near other runs. Needs Xvfb, xdotool and ImageMagick
// (scripts/packages.txt brings them).
#include <sys/types.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"  // Xvfb and xdotool, as the end-to-end tests drive them

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void Pause(int ms) {
    QThread::msleep(static_cast<unsigned long>(ms));
}

// Waits for `cond` up to `ms`, looking every 50 ms.
bool WaitUntil(const std::function<bool()>& cond, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (Clock::now() > end) return false;
        Pause(50);
    }
    return true;
}

[[noreturn]] void Fail(const QString& why) {
    std::fprintf(stderr, "soak: %s\n", qPrintable(why));
    std::exit(2);
}

// The simulated box, spoken to through its console.
class Sim {
public:
    Sim(const QString& program, const QString& dir, int port) {
        proc_.setProgram(program);
        proc_.setArguments({"--dir", dir, "--port", QString::number(port)});
        proc_.start();
    }
    ~Sim() {
        if (proc_.state() != QProcess::NotRunning) {
            Send("quit");
            if (!proc_.waitForFinished(3000)) proc_.kill();
            proc_.waitForFinished(1000);
        }
    }
    void Send(const QByteArray& line) {
        proc_.write(line + "\n");
        proc_.waitForBytesWritten(1000);
    }
    // Lines up to and including the first that starts with `last`.
    bool ReadUntil(const QString& last, int ms, QStringList* lines = nullptr) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            while (proc_.canReadLine()) {
                const QString l = QString::fromLatin1(proc_.readLine()).trimmed();
                if (l.startsWith(last)) return true;
                if (lines) *lines << l;
            }
            if (Clock::now() > end || proc_.state() == QProcess::NotRunning) return false;
            proc_.waitForReadyRead(50);
        }
    }
    // Every frame the box answered so far (it keeps the newest 100000 or more).
    QStringList Frames() {
        Send("frames");
        QStringList lines;
        if (!ReadUntil("end of frames", 30000, &lines))
            Fail("the simulator did not list its frames");
        QStringList frames;
        for (const QString& l : lines)
            if (l.startsWith("frame: ")) frames << l.mid(7);
        return frames;
    }

private:
    QProcess proc_;
};

// The pixels of a screen rectangle, as raw RGB bytes.
QByteArray Grab(const QString& display, int x, int y, int w, int h) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("import",
            {"-window", "root", "-crop", QStringLiteral("%1x%2+%3+%4").arg(w).arg(h).arg(x).arg(y),
             "-depth", "8", "rgb:-"});
    p.waitForFinished(15000);
    return p.readAllStandardOutput();
}

// A frame as the tool records it: upper case, no blanks.
QString Cleaned(QString frame) {
    frame.remove(u' ');
    return frame.toUpper();
}

long ResidentKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int OpenDescriptors(qint64 pid) {
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size());
}

struct Fault {
    const char* name;
    std::vector<QByteArray> on, off;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    double seconds = 0;
    int interval = 1, delay = 2;
    unsigned seed = static_cast<unsigned>(QDateTime::currentMSecsSinceEpoch());
    QString keep;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        auto value = [&]() -> QString {
            if (i + 1 >= argc) Fail("missing value after " + a);
            return QString::fromLocal8Bit(argv[++i]);
        };
        bool ok = true;
        if (a == "--interval")
            interval = value().toInt(&ok);
        else if (a == "--delay")
            delay = value().toInt(&ok);
        else if (a == "--seed")
            seed = value().toUInt(&ok);
        else if (a == "--keep")
            keep = value();
        else if (seconds == 0)
            seconds = a.toDouble(&ok);
        else
            ok = false;
        if (!ok || interval < 1 || interval > 10000 || delay < 0 || delay > 300)
            Fail("usage: soak SECONDS [--interval MS] [--delay MS] [--seed N] [--keep DIR]");
    }
    if (!(seconds > 0))
        Fail("usage: soak SECONDS [--interval MS] [--delay MS] [--seed N] [--keep DIR]");

    // The programs under test sit one folder up, in the build directory.
    const QString build = QDir(QCoreApplication::applicationDirPath() + "/..").absolutePath();
    QTemporaryDir work;
    if (!work.isValid()) Fail("no temporary directory");
    const QString tool = work.filePath("Quorvane_for_K740_3T_TQ55_SPI");
    if (!QFile::copy(build + "/Quorvane_for_K740_3T_TQ55_SPI", tool))
        Fail("cannot copy the tool from " + build);
    const QString ports = work.filePath("ports");
    QDir().mkpath(ports);

    Xvfb x;
    if (x.Display().isEmpty()) Fail("Xvfb did not start");
    Sim sim(build + "/k740-sim", ports, 7);
    if (!sim.ReadUntil("k740-sim: COM", 10000)) Fail("the simulator did not start");
    sim.Send("delay " + QByteArray::number(delay));

    QProcess proc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", x.Display());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("K740_SERIALCOMM_DIR", ports);
    proc.setProcessEnvironment(env);
    // The tool's diagnostic log (a line per fault) goes to a file beside the
    // recording, so that what this program prints stays its own.
    const QString toolLog = QDir(work.path()).filePath("tool.log");
    proc.setStandardErrorFile(toolLog);
    proc.start(tool, {});
    if (!proc.waitForStarted(10000)) Fail("the tool did not start");
    const qint64 pid = proc.processId();

    auto recordings = [&] {
        return QDir(work.path()).entryList({"POSITION_*.csv"}, QDir::Files, QDir::Name);
    };
    if (!WaitUntil([&] { return sim.Frames().size() >= 3; }, 30000))
        Fail("the tool never read the encoder");
    const QString window =
        XdoTool(x.Display(), {"search", "--sync", "--onlyvisible", "--name", "TQ55 SPI encoders"})
            .section('\n', 0, 0);
    if (window.isEmpty()) Fail("the tool's window was not found");

    // Clicks at the controls' design places (the window sits at the top left
    // of a screen without a window manager). A check box must change its
    // looks, or the click did not take.
    auto click = [&](int cx, int cy) {
        XdoTool(x.Display(), {"mousemove", "--window", window, QString::number(cx),
                              QString::number(cy), "click", "1"});
    };
    auto tick = [&](const char* what, int cx, int cy) {
        const QByteArray before = Grab(x.Display(), cx - 8, cy - 8, 16, 16);
        click(cx, cy);
        if (!WaitUntil([&] { return Grab(x.Display(), cx - 8, cy - 8, 16, 16) != before; }, 5000))
            Fail(QStringLiteral("ticking \"%1\" did not take").arg(QString::fromLatin1(what)));
    };
    auto type = [&](int cx, int cy, const QString& text) {
        click(cx, cy);
        XdoTool(x.Display(), {"key", "--window", window, "ctrl+a"});
        XdoTool(x.Display(), {"type", "--window", window, text});
    };
    const int positionTab[2] = {184, 147};
    tick("Log Comm", 849, 184);
    type(65, 428, QString::number(interval));  // "Delay between readings (ms)"
    click(positionTab[0], positionTab[1]);
    tick("Plot position over time", 561, 242);
    type(443, 521, "0");  // "Recording duration (sec)": no limit
    const QStringList before = recordings();
    tick("Record position to file", 33, 525);
    QString file;
    if (!WaitUntil(
            [&] {
                for (const QString& f : recordings())
                    if (!before.contains(f)) file = f;
                return !file.isEmpty();
            },
            10000))
        Fail("no recording started");
    const QString path = QDir(work.path()).filePath(file);
    auto recordedSize = [&] { return QFileInfo(path).size(); };

    // What the box served, gathered now and then: it keeps only its newest
    // 100000 frames or more, several minutes' worth.
    std::set<QString> served;
    auto lastGather = Clock::now();
    auto gather = [&] {
        for (const QString& f : sim.Frames()) served.insert(Cleaned(f));
        lastGather = Clock::now();
    };
    // Reading again: good readings reach the recording.
    auto reading = [&](int ms) {
        const qint64 size = recordedSize();
        return WaitUntil([&] { return recordedSize() >= size + 200; }, ms);
    };
    // Message boxes (a set-up command that failed while a fault came) are
    // answered as a user would.
    int boxes = 0;
    auto dismissBoxes = [&] {
        const QStringList ids =
            XdoTool(x.Display(), {"search", "--onlyvisible", "--name", "TQ55 SPI encoders"})
                .split('\n', Qt::SkipEmptyParts);
        for (const QString& id : ids) {
            if (id == window) continue;
            XdoTool(x.Display(), {"key", "--window", id, "Return"});
            ++boxes;
        }
    };

    if (!reading(10000)) Fail("the recording does not grow");
    const long rssStart = ResidentKb(pid);
    const int fdsStart = OpenDescriptors(pid);
    const auto started = Clock::now();
    std::printf("soak: %.0f s, interval %d ms, reply after %d ms, seed %u, display %s\n", seconds,
                interval, delay, seed, qPrintable(x.Display()));
    std::printf("  %6s %9s %9s %5s\n", "s", "frames", "RSS kB", "fds");
    std::fflush(stdout);

    const QByteArray calm = "delay " + QByteArray::number(delay);
    const std::vector<Fault> kinds = {
        {"unplug and replug", {"unplug"}, {"replug"}},
        {"silence", {"silent on"}, {"silent off"}},
        {"slow replies past the time-out", {"delay 450"}, {calm}},
        {"bad CRC", {"crc bad"}, {"crc good"}},
        {"wrong length", {"length 1"}, {"length 0"}},
        {"garbage", {"garbage on"}, {"garbage off"}},
        {"lower case with blanks", {"lower on"}, {"lower off"}},
    };
    std::map<std::string, int> injected;
    std::mt19937 rng(seed);
    auto between = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    std::vector<std::size_t> bag;  // every kind once, in a random order, then again
    int stalls = 0;
    double nextReport = 0;
    while (SecondsSince(started) < seconds) {
        if (SecondsSince(started) >= nextReport) {
            gather();
            std::printf("  %6.0f %9zu %9ld %5d\n", SecondsSince(started), served.size(),
                        ResidentKb(pid), OpenDescriptors(pid));
            std::fflush(stdout);
            nextReport += 60;
        }
        Pause(between(1500, 5000));
        if (bag.empty()) {
            for (std::size_t k = 0; k < kinds.size(); ++k) bag.push_back(k);
            std::shuffle(bag.begin(), bag.end(), rng);
        }
        const Fault& f = kinds[bag.back()];
        bag.pop_back();
        for (const QByteArray& c : f.on) sim.Send(c);
        ++injected[f.name];
        Pause(between(300, 3000));
        for (const QByteArray& c : f.off) sim.Send(c);
        // Back to reading within the searches' pace (a second, then 850 ms),
        // the set-up and a reading or two; a box in the way is answered.
        if (!reading(15000)) {
            dismissBoxes();
            if (!reading(15000)) {
                ++stalls;
                std::printf("  the tool did not read again after \"%s\"\n", f.name);
            }
        }
        click(positionTab[0], positionTab[1]);  // a lost box brought System Config to the front
        if (SecondsSince(lastGather) > 20) gather();
    }
    const long rssEnd = ResidentKb(pid);
    const int fdsEnd = OpenDescriptors(pid);
    const bool alive = proc.state() == QProcess::Running;
    if (!keep.isEmpty()) {
        QDir().mkpath(keep);
        QProcess shot;
        QProcessEnvironment shotEnv = QProcessEnvironment::systemEnvironment();
        shotEnv.insert("DISPLAY", x.Display());
        shot.setProcessEnvironment(shotEnv);
        shot.start("import", {"-window", "root", "-crop", "1068x652+0+0", "+repage",
                              QDir(keep).filePath("soak-window.png")});
        shot.waitForFinished(15000);
    }
    // Every line reaches the file as it is written: stopping the tool loses
    // none of them.
    proc.terminate();
    if (!proc.waitForFinished(10000)) proc.kill();
    proc.waitForFinished(5000);
    gather();  // the box's last frames, now that nothing asks for more

    QFile rec(path);
    if (!rec.open(QIODevice::ReadOnly)) Fail("cannot read the recording " + path);
    const QList<QByteArray> lines = rec.readAll().split('\n');
    int recorded = 0, notServed = 0, twice = 0;
    std::set<QString> seen;
    QStringList examples;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty()) continue;
        ++recorded;
        QString rx = QString::fromLatin1(line.split(';').value(1));
        if (rx.startsWith("0x")) rx = rx.mid(2);
        if (!served.count(rx)) {
            ++notServed;
            if (examples.size() < 3) examples << QString::fromLatin1(line);
        }
        if (!seen.insert(rx).second) ++twice;
    }
    if (!keep.isEmpty()) {
        QFile::copy(path, QDir(keep).filePath(file));
        QFile::copy(toolLog, QDir(keep).filePath("tool.log"));
    }

    int total = 0;
    std::printf("\nafter %.0f s:\n", SecondsSince(started));
    std::printf("  readings (frames the box served)                 %zu\n", served.size());
    std::printf("  faults:");
    for (const Fault& f : kinds) {
        std::printf(" %s %d;", f.name, injected[f.name]);
        total += injected[f.name];
    }
    std::printf(" %d in all\n", total);
    std::printf("  recorded lines                                   %d\n", recorded);
    std::printf("  recorded lines that are not a frame the box served %d\n", notServed);
    for (const QString& e : examples) std::printf("    %s\n", qPrintable(e));
    std::printf("  lines recorded twice                             %d\n", twice);
    std::printf("  message boxes answered                           %d\n", boxes);
    std::printf("  faults after which it did not read again        %d\n", stalls);
    std::printf("  open descriptors                                 %d at start, %d at end\n",
                fdsStart, fdsEnd);
    std::printf(
        "  resident memory                                  %.1f MB at start, %.1f MB at end\n",
        rssStart / 1024.0, rssEnd / 1024.0);
    std::printf("  tool still running at the end                    %s\n", alive ? "yes" : "NO");

    bool everyKind = true;
    for (const Fault& f : kinds) everyKind = everyKind && injected[f.name] > 0;
    const bool pass = alive && !served.empty() && recorded > 0 && everyKind && notServed == 0 &&
                      twice == 0 && stalls == 0;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
