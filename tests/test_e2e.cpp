// End to end: the real tool against the real simulator, as separate processes.
#include <gtest/gtest.h>

#include <QProcess>
#include <QSize>
#include <QTemporaryDir>

#include "e2e_support.h"
#include "pty_fixture.h"

namespace {

TEST(EndToEnd, ToolFindsTheSimulatedBoxAndReadsTheEncoder) {
    QTemporaryDir dir;
    SimProcess sim(dir.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    QProcess tool;
    StartTool(tool, dir.path());
    ASSERT_TRUE(tool.waitForStarted(5000));
    QStringList commands;
    const bool reading = WaitFor(
        [&] {
            commands = sim.Commands();
            return commands.count("?06:006") >= 3;
        },
        15000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    EXPECT_TRUE(reading) << commands.join(' ').toStdString();
    ASSERT_GE(commands.size(), 11);
    EXPECT_EQ(commands.mid(0, 11),
              (QStringList{"v", "o", "r", "Cp", "G0:1", "D055", "M5", "m", "V5", "n", "e"}));
    // Unplugged, the tool goes back to searching and finds the box again.
    sim.Send("unplug");
    sim.Send("replug");
    const qsizetype before = commands.count("v");
    EXPECT_TRUE(WaitFor([&] { return sim.Commands().count("v") > before; }, 15000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }));
    EXPECT_EQ(tool.state(), QProcess::Running) << tool.readAllStandardError().toStdString();
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(5000));
}

}  // namespace

namespace {

QStringList RecordingFiles() {
    return QDir(BuildDir()).entryList({"POSITION_*.csv"}, QDir::Files, QDir::Name);
}

TEST(EndToEnd, KilledDuringARecordingKeepsEveryServedReading) {
    Xvfb x;
    ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start";
    QTemporaryDir dir;
    SimProcess sim(dir.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    const QStringList filesBefore = RecordingFiles();

    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", x.Display());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("K740_SERIALCOMM_DIR", dir.path());
    tool.setProcessEnvironment(env);
    tool.start(BuildDir() + "/Quorvane_for_K740_3T_TQ55_SPI", {});
    ASSERT_TRUE(tool.waitForStarted(5000));
    ASSERT_TRUE(WaitFor([&] { return sim.Commands().count("?06:006") >= 3; }, 20000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }))
        << "the tool never read the encoder";

    ASSERT_FALSE(ClickRecordPositionToFile(x.Display()).isEmpty()) << "no window";

    QString file;
    auto lines = [&] {
        QFile f(QDir(BuildDir()).filePath(file));
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromLatin1(f.readAll()).split("\r\n", Qt::SkipEmptyParts)
                   : QStringList();
    };
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const QString& f : RecordingFiles())
                if (!filesBefore.contains(f)) file = f;
            return !file.isEmpty() && lines().size() > 30;
        },
        20000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }))
        << "no recording started";

    tool.kill();  // no chance to flush or close anything
    ASSERT_TRUE(tool.waitForFinished(5000));
    sim.Send("frames");
    ASSERT_TRUE(sim.WaitForLine("end of frames", 5000));
    QStringList served;
    for (const QString& l : sim.Lines())
        if (l.startsWith("frame: ")) served << l.mid(7);

    QStringList recorded;
    for (const QString& l : lines().mid(1)) recorded << l.section(';', 1, 1).mid(2);
    QFile::remove(QDir(BuildDir()).filePath(file));
    ASSERT_FALSE(recorded.isEmpty());
    const qsizetype first = served.indexOf(recorded.first());
    ASSERT_GE(first, 0);
    EXPECT_EQ(served.mid(first, recorded.size()), recorded) << "a recorded reading is missing";
    EXPECT_LE(served.size() - (first + recorded.size()), 1)
        << "more than the reading in flight was lost";
}

}  // namespace

namespace {

// The window's size in screen pixels, as the X server has it.
QSize WindowSize(const QString& display, const QString& window) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("xwininfo", {"-id", window});
    p.waitForFinished(10000);
    QSize size;
    for (const QString& l : QString::fromLatin1(p.readAllStandardOutput()).split('\n')) {
        const QString t = l.trimmed();
        if (t.startsWith("Width:")) size.setWidth(t.section(' ', 1).toInt());
        if (t.startsWith("Height:")) size.setHeight(t.section(' ', 1).toInt());
    }
    return size;
}

// On a 1366 x 768 laptop: a larger text scale leaves the window at its
// designed pixels; a whole-window scale grows it, but never past the screen.
TEST(EndToEnd, TextScaleKeepsTheDesignSizeAndAWholeWindowScaleStaysOnTheScreen) {
    const struct {
        const char* name;
        const char* variable;
        const char* value;
        QSize least, most;
    } rows[] = {
        {"text_scale_125_percent", "QT_FONT_DPI", "120", QSize(1068, 652), QSize(1068, 652)},
        {"whole_window_scale_1_25", "QT_SCALE_FACTOR", "1.25", QSize(1335, 700), QSize(1366, 768)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Xvfb x("1366x768");
        ASSERT_FALSE(x.Display().isEmpty()) << "Xvfb did not start";
        QTemporaryDir ports;
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", x.Display());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("K740_SERIALCOMM_DIR", ports.path());
        env.remove("QT_ENABLE_HIGHDPI_SCALING");
        env.insert(r.variable, r.value);
        tool.setProcessEnvironment(env);
        tool.start(BuildDir() + "/Quorvane_for_K740_3T_TQ55_SPI", {});
        ASSERT_TRUE(tool.waitForStarted(5000));
        const QString window =
            XdoTool(x.Display(), {"search", "--sync", "--name", "TQ55 SPI encoders"})
                .section('\n', 0, 0);
        ASSERT_FALSE(window.isEmpty());
        // The size settles once the window is on the screen.
        QSize size;
        WaitFor(
            [&] {
                size = WindowSize(x.Display(), window);
                return size.width() >= r.least.width() && size.width() <= r.most.width() &&
                       size.height() >= r.least.height() && size.height() <= r.most.height();
            },
            5000, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
        EXPECT_GE(size.width(), r.least.width());
        EXPECT_GE(size.height(), r.least.height());
        EXPECT_LE(size.width(), r.most.width());
        EXPECT_LE(size.height(), r.most.height());
        tool.terminate();
        EXPECT_TRUE(tool.waitForFinished(5000));
    }
}

}  // namespace
