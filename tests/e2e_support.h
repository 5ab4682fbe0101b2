// Running the real programs: the simulated box and the tool, as processes.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <thread>

// The test programs live in build/tests, the programs under test in build/.
inline QString BuildDir() {
    return QDir(QCoreApplication::applicationDirPath() + "/..").absolutePath();
}

// build/k740-sim on a port of a fresh directory, spoken to through its
// console.
class SimProcess {
public:
    // `program` defaults to the simulator of this build.
    SimProcess(const QString& dir, int port, const QString& program = {}) {
        proc_.setProgram(program.isEmpty() ? BuildDir() + "/k740-sim" : program);
        proc_.setArguments({"--dir", dir, "--port", QString::number(port)});
        proc_.start();
    }
    ~SimProcess() {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.write("quit\n");
            if (!proc_.waitForFinished(3000)) proc_.kill();
            proc_.waitForFinished(1000);
        }
    }
    bool WaitReady() { return WaitForLine("k740-sim: COM", 5000); }
    // Written at once: QProcess would otherwise hold it until its next wait.
    void Send(const QByteArray& line) {
        proc_.write(line + "\n");
        proc_.waitForBytesWritten(3000);
    }
    // Every command the box received so far.
    QStringList Commands() {
        Send("commands");
        QStringList out;
        if (!WaitForLine("end of commands", 3000)) return out;
        for (const QString& l : lines_)
            if (l.startsWith("cmd: ")) out << l.mid(5);
        lines_.clear();
        return out;
    }
    bool WaitForLine(const QString& prefix, int deadlineMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            while (proc_.canReadLine()) {
                const QString l = QString::fromLocal8Bit(proc_.readLine()).trimmed();
                lines_ << l;
                if (l.startsWith(prefix)) return true;
            }
            if (std::chrono::steady_clock::now() > end) return false;
            proc_.waitForReadyRead(50);
        }
    }

    const QStringList& Lines() const { return lines_; }

private:
    QProcess proc_;
    QStringList lines_;
};

// The real tool, pointed at the simulated ports.
inline void StartTool(QProcess& tool, const QString& serialDir, bool offscreen = true) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", serialDir);
    if (offscreen) env.insert("QT_QPA_PLATFORM", "offscreen");
    tool.setProcessEnvironment(env);
    tool.setProgram(BuildDir() + "/Quorvane_for_K740_3T_TQ55_SPI");
    tool.start();
}

// An X server of the test's own, for the tests that click the real window.
class Xvfb {
public:
    explicit Xvfb(const QString& screen = QStringLiteral("1280x800")) {
        proc_.setProgram("Xvfb");
        proc_.setArguments({"-displayfd", "1", "-screen", "0", screen + "x24", "-nolisten", "tcp"});
        proc_.start();
        if (proc_.waitForReadyRead(10000))
            display_ = ":" + QString::fromLatin1(proc_.readLine()).trimmed();
    }
    ~Xvfb() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
        proc_.waitForFinished(1000);
    }
    QString Display() const { return display_; }

private:
    QProcess proc_;
    QString display_;
};

// Runs xdotool on the display; returns its output.
inline QString XdoTool(const QString& display, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    p.waitForFinished(15000);
    return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
}

// Ticks "Record position to file" on the real window, as a user does: the
// Position tab, then the check box, clicked at their design places. Returns
// the window's id, or nothing when the tool shows no window.
inline QString ClickRecordPositionToFile(const QString& display) {
    const QString window =
        XdoTool(display, {"search", "--sync", "--name", "TQ55 SPI encoders"}).section('\n', 0, 0);
    if (window.isEmpty()) return window;
    XdoTool(display, {"mousemove", "--window", window, "184", "147", "click", "1"});
    XdoTool(display, {"mousemove", "--window", window, "86", "525", "click", "1"});
    return window;
}
