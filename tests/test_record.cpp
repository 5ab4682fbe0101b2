// The headless recorder: tick by tick in-process against simulated boxes, and
// k740-record as a program against k740-sim, alone and in pipes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <iostream>
#include <map>

#include "PtyBox.h"
#include "e2e_support.h"
#include "file_size_limit.h"
#include "module_globals.h"
#include "pty_fixture.h"
#include "record/Recorder.h"
#include "unprivileged.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList Lines(const QString& path) {
    return QString::fromLatin1(ReadAll(path)).split("\r\n", Qt::SkipEmptyParts);
}

const QDateTime kStartTime(QDate(2024, 1, 31), QTime(14, 25, 1));

// ------------------------------------------------------------ alone, tick by tick

class Recorder : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
    }
    std::unique_ptr<TRecorder> Make(TRecorderOptions o) {
        if (o.OutFile.isEmpty()) o.OutFolder = out.path();
        auto r = std::make_unique<TRecorder>(o);
        r->Clock = [this] { return now; };
        r->Locale = [] { return QLocale::c(); };
        r->Log = [this](const QString& l) { log << l; };
        r->Now = [] { return kStartTime; };
        return r;
    }
    // Steps at the times given, each after the wait the last step asked for.
    void Advance(TRecorder& r, int steps) {
        for (int i = 0; i < steps && r.State() != TRecorderState::Finished; ++i) now += r.Step();
    }
    // Steps until the recorder reads again; false when it does not within
    // `steps`.
    bool AdvanceToReading(TRecorder& r, int steps = 10) {
        for (int i = 0; i < steps && r.State() != TRecorderState::Reading; ++i) Advance(r, 1);
        return r.State() == TRecorderState::Reading;
    }
    k740sim::K740Box& Box() { return pty->Box(); }

    ModuleGlobalsGuard globals;
    std::uint64_t now = 0;
    QStringList log;
    QTemporaryDir out;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
};

TEST_F(Recorder, LostBoxGoesBackToTheSearchAndTheRecordingGoesOnInTheSameFile) {
    TRecorderOptions o;
    o.Seconds = 0;
    auto rec = Make(o);
    Advance(*rec, 3);  // box, encoder, one reading
    ASSERT_EQ(rec->Readings(), 1u);
    pty->Unplug();
    Advance(*rec, 1);
    EXPECT_EQ(rec->State(), TRecorderState::SearchInterface);
    EXPECT_EQ(rec->Faults(), 1u);
    EXPECT_EQ(log.last(), "Interface disconnected!");
    Advance(*rec, 3);  // searching while the box is away: no wait applies now
    EXPECT_EQ(rec->State(), TRecorderState::SearchInterface);
    pty->Replug();
    Advance(*rec, 3);  // found, set up, encoder found, one reading
    ASSERT_EQ(rec->State(), TRecorderState::Reading);
    rec->Stop();
    // Found at 0, the file started at 850, read at 920; lost at 990, searched
    // until 4990, found again, the encoder at 5840 and read at 5910.
    EXPECT_EQ(QFileInfo(rec->FilePath()).fileName(), "POSITION_TQ55SPDxxB__20240131142501.csv");
    EXPECT_EQ(Lines(rec->FilePath()).mid(1),
              (QStringList{"70;0x03D090300920;1000000;0;0;244.1406;",
                           "5060;0x03D090300920;1000000;0;0;244.1406;"}));
}

TEST_F(Recorder, TimeRunsOutWhileTheBoxIsAway) {
    TRecorderOptions o;
    o.Seconds = 2;
    auto rec = Make(o);
    Advance(*rec, 3);
    pty->Unplug();
    Advance(*rec, 10);
    EXPECT_EQ(rec->State(), TRecorderState::Finished);
    EXPECT_EQ(rec->Exit(), TRecorderExit::Done);
    EXPECT_EQ(Lines(rec->FilePath()).size(), 2);
}

TEST_F(Recorder, GivesUpWithinTheWait) {
    struct Case {
        const char* name;
        std::function<void()> fault;
        std::optional<int> port;
        QString why;
    };
    const Case cases[] = {
        {"no_box", [this] { pty->Unplug(); }, {}, "no K740-3T box answered within 2 s"},
        {"no_box_on_that_port", [] {}, 5, "no K740-3T box answered on COM5 within 2 s"},
        {"no_encoder",
         [this] { Box().SetEncoder(k740sim::EncoderKind::None); },
         {},
         "no encoder answered on the box on COM7 within 2 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!pty->Plugged()) pty->Replug();
        Box().SetEncoder(k740sim::EncoderKind::Advanced);
        c.fault();
        TRecorderOptions o;
        o.WaitSeconds = 2;
        o.Port = c.port;
        now = 0;
        log.clear();
        auto rec = Make(o);
        Advance(*rec, 10);
        EXPECT_EQ(rec->State(), TRecorderState::Finished);
        EXPECT_EQ(rec->Exit(), TRecorderExit::NoBox);
        EXPECT_GE(now, 2000u);
        EXPECT_LE(now, 3000u) << "gave up one search interval after the wait at most";
        EXPECT_EQ(log.last(), c.why);
        EXPECT_TRUE(QDir(out.path()).isEmpty()) << "nothing created";
    }
}

TEST_F(Recorder, FileFailuresEndWithExitFour) {
    {
        TRecorderOptions o;
        o.OutFile = out.filePath("gone/x.csv");
        auto rec = Make(o);
        Advance(*rec, 2);
        EXPECT_EQ(rec->Exit(), TRecorderExit::FileFailed);
        EXPECT_TRUE(log.last().startsWith("cannot create " + out.filePath("gone/x.csv") + ": "))
            << log.last().toStdString();
    }
    // A write that fails part-way, as on a full disk: every whole line stays.
    TRecorderOptions o;
    o.OutFile = out.filePath("x.csv");
    o.Seconds = 0;
    auto rec = Make(o);
    Advance(*rec, 3);
    ASSERT_EQ(rec->Readings(), 1u);
    const QByteArray before = ReadAll(o.OutFile);
    {
        FileSizeLimit full(before.size() + 5);
        Advance(*rec, 1);
    }
    EXPECT_EQ(rec->State(), TRecorderState::Finished);
    EXPECT_EQ(rec->Exit(), TRecorderExit::FileFailed);
    EXPECT_TRUE(log.last().startsWith("cannot write ")) << log.last().toStdString();
    EXPECT_EQ(ReadAll(o.OutFile), before);
}

// The run's account against a box serving positions the test chooses, with
// each kind of fault injected once: the counts and statistics the test works
// out on its own from what it served.
TEST_F(Recorder, SummaryAgreesWithTheServedPositionsAndTheInjectedFaults) {
    struct Tick {
        const char* name;
        std::uint32_t count = 0;  // a good reading at this count
        bool error = false, warning = false;
        std::optional<TReadingFault> fault = std::nullopt;  // or this fault instead
    };
    using F = TReadingFault;
    const Tick ticks[] = {
        {"first", 1000000},
        {"small_step", 1000004},
        {"step_back", 999990, false, true},
        {"time_out", 0, false, false, F::TimeOut},
        {"after_the_box_came_back", 1000500},
        {"error_bit", 1000499, true},
        {"frame_check", 0, false, false, F::FrameCheck},
        {"largest_step_across_a_fault", 1002000},
        {"wrong_length", 0, false, false, F::WrongLength},
        {"error_and_warning", 1001990, true, true},
        {"lost_interface", 0, false, false, F::LostInterface},
        {"lost_encoder", 0, false, false, F::LostEncoder},
        {"last", 1001995},
    };
    TRecorderOptions o;
    o.Seconds = 0;
    auto rec = Make(o);
    std::uint64_t start = 0;
    while (!rec->Recording()) {
        start = now;
        Advance(*rec, 1);
        ASSERT_LT(now, 10000u) << "no encoder found";
    }
    ASSERT_TRUE(AdvanceToReading(*rec));
    std::vector<std::uint32_t> counts;
    int errors = 0, warnings = 0;
    std::map<F, int> faults;
    for (const Tick& t : ticks) {
        SCOPED_TRACE(t.name);
        ASSERT_EQ(rec->State(), TRecorderState::Reading);
        if (!t.fault) {
            Box().SetPosition(t.count);
            Box().SetErrorBit(t.error);
            Box().SetWarningBit(t.warning);
            Advance(*rec, 1);
            counts.push_back(t.count);
            errors += t.error;
            warnings += t.warning;
            continue;
        }
        ++faults[*t.fault];
        Box().SetErrorBit(false);
        Box().SetWarningBit(false);
        const std::map<F, std::pair<std::function<void()>, std::function<void()>>> inject = {
            {F::TimeOut,
             {[&] {
                  ReplyTimeoutMs = 30;
                  Box().SetSilent(true);
              },
              [&] {
                  Box().SetSilent(false);
                  ReplyTimeoutMs = 400;
              }}},
            {F::FrameCheck, {[&] { Box().SetBadCrc(true); }, [&] { Box().SetBadCrc(false); }}},
            {F::WrongLength,
             {[&] { Box().SetFrameLengthDelta(2); }, [&] { Box().SetFrameLengthDelta(0); }}},
            {F::LostInterface, {[&] { pty->Unplug(); }, [&] { pty->Replug(); }}},
            {F::LostEncoder,
             {[&] { Box().SetEncoder(k740sim::EncoderKind::None); },
              [&] { Box().SetEncoder(k740sim::EncoderKind::Advanced); }}},
        };
        inject.at(*t.fault).first();
        Advance(*rec, 1);
        inject.at(*t.fault).second();
        EXPECT_NE(rec->State(), TRecorderState::Reading);
        ASSERT_TRUE(AdvanceToReading(*rec));
    }
    const std::uint64_t elapsed = now - start;
    rec->Stop();

    // What the test served, worked out on its own.
    const double mmPerCount = 1.0 / 4096.0;
    const double n = static_cast<double>(counts.size());
    double sum = 0, largestStep = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        sum += counts[i] * mmPerCount;
        if (i > 0)
            largestStep =
                std::max(largestStep, std::fabs(double(counts[i]) - double(counts[i - 1])));
    }
    const double mean = sum / n;
    double squares = 0;
    for (const std::uint32_t c : counts)
        squares += (c * mmPerCount - mean) * (c * mmPerCount - mean);

    EXPECT_EQ(rec->ElapsedMs(), elapsed);
    const QJsonObject j = QJsonDocument::fromJson(rec->Summary().Json(elapsed)).object();
    EXPECT_EQ(j["readings"].toInt(), int(counts.size()));
    EXPECT_EQ(Lines(rec->FilePath()).size(), int(counts.size()) + 1);
    EXPECT_DOUBLE_EQ(j["seconds"].toDouble(), elapsed / 1000.0);
    EXPECT_DOUBLE_EQ(j["readings_per_second"].toDouble(), n / (elapsed / 1000.0));
    const QJsonObject f = j["faults"].toObject();
    EXPECT_EQ(f["time_out"].toInt(), faults[F::TimeOut]);
    EXPECT_EQ(f["frame_check"].toInt(), faults[F::FrameCheck]);
    EXPECT_EQ(f["wrong_length"].toInt(), faults[F::WrongLength]);
    EXPECT_EQ(f["lost_interface"].toInt(), faults[F::LostInterface]);
    EXPECT_EQ(f["lost_encoder"].toInt(), faults[F::LostEncoder]);
    EXPECT_EQ(rec->Faults(), 5u);
    EXPECT_EQ(j["error_bit_readings"].toInt(), errors);
    EXPECT_EQ(j["warning_bit_readings"].toInt(), warnings);
    const QJsonObject mm = j["position_mm"].toObject();
    EXPECT_DOUBLE_EQ(mm["min"].toDouble(), 999990 * mmPerCount);
    EXPECT_DOUBLE_EQ(mm["max"].toDouble(), 1002000 * mmPerCount);
    EXPECT_NEAR(mm["mean"].toDouble(), mean, 1e-9);
    EXPECT_NEAR(mm["std_dev"].toDouble(), std::sqrt(squares / n), 1e-9);
    const QJsonObject step = j["largest_step"].toObject();
    EXPECT_EQ(step["counts"].toInt(), int(largestStep));
    EXPECT_DOUBLE_EQ(step["mm"].toDouble(), largestStep * mmPerCount);
    EXPECT_TRUE(rec->Summary().Lines(elapsed).contains(
        "faults: time-out 1, frame check 1, wrong length 1, lost interface 1, lost encoder 1"));
}

TEST(RunSummary, WithoutReadingsSaysSoAndItsStatisticsAreNull) {
    const TRunSummary none;
    const QJsonObject j = QJsonDocument::fromJson(none.Json(0)).object();
    EXPECT_EQ(j["readings"].toInt(), 0);
    EXPECT_EQ(j["readings_per_second"].toDouble(), 0.0);
    EXPECT_TRUE(j["position_mm"].isNull());
    EXPECT_TRUE(j["largest_step"].isNull());
    EXPECT_TRUE(none.Lines(0).contains("position mm: no readings"));
}

// ------------------------------------------------------------ the program

struct RecorderRun {
    int exitCode = -1;
    bool finished = false;
    QString stdErr, stdOut;
    double seconds = 0;
};

void StartRecorder(QProcess& p, const QStringList& args, const QString& serialDir,
                   const QString& workDir, const QStringList& prefix = {},
                   const QString& recorder = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("K740_SERIALCOMM_DIR", serialDir);
    env.insert("LC_ALL", "C");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    const QString program = recorder.isEmpty() ? BuildDir() + "/k740-record" : recorder;
    if (prefix.isEmpty()) {
        p.start(program, args);
    } else {
        p.start(prefix.first(), prefix.mid(1) + QStringList{program} + args);
    }
}

RecorderRun RunRecorder(const QStringList& args, const QString& serialDir, const QString& workDir,
                        int deadlineMs, const QStringList& prefix = {},
                        const QString& recorder = {}) {
    QProcess p;
    const auto t0 = std::chrono::steady_clock::now();
    StartRecorder(p, args, serialDir, workDir, prefix, recorder);
    RecorderRun r;
    r.finished = p.waitForFinished(deadlineMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.stdErr = QString::fromLocal8Bit(p.readAllStandardError());
    r.stdOut = QString::fromLocal8Bit(p.readAllStandardOutput());
    return r;
}

QStringList ServedFrames(SimProcess& sim) {
    sim.Send("frames");
    QStringList served;
    if (!sim.WaitForLine("end of frames", 5000)) return served;
    for (const QString& l : sim.Lines())
        if (l.startsWith("frame: ")) served << l.mid(7);
    return served;
}

QStringList RecordedFrames(const QString& path) {
    QStringList rx;
    for (const QString& l : Lines(path).mid(1)) rx << l.section(';', 1, 1).mid(2);
    return rx;
}

TEST(RecordProgram, RecordsTwoSecondsOfEveryServedFrameInOrder) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    const RecorderRun r =
        RunRecorder({"--seconds", "2", "--out", "rec.csv"}, ports.path(), work.path(), 20000);
    ASSERT_TRUE(r.finished) << r.stdErr.toStdString();
    EXPECT_EQ(r.exitCode, 0) << r.stdErr.toStdString();
    const QString file = QDir(work.path()).filePath("rec.csv");
    const QStringList served = ServedFrames(sim);
    const QStringList recorded = RecordedFrames(file);
    ASSERT_GE(recorded.size(), 10);
    // The first frame served was the detection's; every one after it is a line.
    EXPECT_EQ(served.mid(1), recorded);
    const QStringList lines = Lines(file);
    EXPECT_EQ(lines.first(), "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;");
    std::uint64_t last = 0;
    for (const QString& l : lines.mid(1)) {
        const std::uint64_t t = l.section(';', 0, 0).toULongLong();
        EXPECT_GT(t, last) << l.toStdString();
        last = t;
    }
    EXPECT_GT(last, 2000u);
    EXPECT_LE(lines[lines.size() - 2].section(';', 0, 0).toULongLong(), 2000u)
        << "the reading that passes the time is the last";
    EXPECT_TRUE(r.stdErr.contains(QRegularExpression("\\d+ readings, [0-9.]+/s, 0 faults")))
        << r.stdErr.toStdString();
}

TEST(RecordProgram, NoBoxGivesExitThreeWithinTheWait) {
    QTemporaryDir ports, work;
    const RecorderRun r = RunRecorder({"--wait", "1"}, ports.path(), work.path(), 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_LT(r.seconds, 5.0) << "a wait of 1 s, one search interval and the start-up";
    EXPECT_EQ(r.stdErr.toStdString(), "k740-record: no K740-3T box answered within 1 s\n");
    EXPECT_TRUE(QDir(work.path()).isEmpty());
}

TEST(RecordProgram, SigtermKeepsEveryLine) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    QProcess p;
    StartRecorder(p, {"--seconds", "0", "--interval", "5", "--out", "rec.csv"}, ports.path(),
                  work.path());
    ASSERT_TRUE(p.waitForStarted(5000));
    const QString file = QDir(work.path()).filePath("rec.csv");
    ASSERT_TRUE(WaitFor([&] { return Lines(file).size() > 40; }, 15000,
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    const QStringList served = ServedFrames(sim);
    EXPECT_EQ(served.mid(1), RecordedFrames(file));
    EXPECT_TRUE(ReadAll(file).endsWith(";\r\n")) << "the last line is whole";
}

// One lost encoder is "1 fault", in the progress line as in any sentence.
TEST(RecordProgram, ProgressCountsOneFaultInTheSingular) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    QProcess p;
    StartRecorder(p, {"--seconds", "3", "--out", "rec.csv"}, ports.path(), work.path());
    ASSERT_TRUE(p.waitForStarted(5000));
    QString err;
    auto said = [&](const QString& text) {
        return WaitFor(
            [&] {
                err += QString::fromLocal8Bit(p.readAllStandardError());
                return err.contains(text);
            },
            15000, [&] { p.waitForReadyRead(50); });
    };
    ASSERT_TRUE(said("Recording to ")) << err.toStdString();
    sim.Send("encoder none");
    ASSERT_TRUE(said("Encoder disconnected!")) << err.toStdString();
    sim.Send("encoder advanced");
    ASSERT_TRUE(p.waitForFinished(20000));
    err += QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
    // The progress line's last state, which the run summary follows.
    QString last;
    for (const QString& line : err.split('\n'))
        if (line.contains(QRegularExpression("^k740-record: \\d+ readings?, "))) last = line;
    EXPECT_TRUE(
        last.contains(QRegularExpression("^k740-record: \\d+ readings, [0-9.]+/s, 1 fault, ")))
        << last.toStdString();
}

TEST(RecordProgram, BadInputGivesOneLineAndCreatesNothing) {
    QTemporaryDir ports, work;
    ASSERT_TRUE(QDir(work.path()).mkdir("readonly"));
    ASSERT_TRUE(OpenToAll(work));
    QFile::setPermissions(work.filePath("readonly"),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                              QFileDevice::ExeOther);
    const QStringList asNobody = QStringList{"setpriv"} + AsNobodyArgs();
    // Run from a folder every user can reach, as it would be installed.
    QTemporaryDir bin;
    const QString recorder = CopyForNobody(BuildDir() + "/k740-record", bin);
    ASSERT_FALSE(recorder.isEmpty());
    const QString noNobody = WhyNobodyCannotReach(work.path());
    struct Case {
        const char* name;
        QStringList args;
        int exitCode;
        QString message;
        QStringList prefix;
    };
    const Case cases[] = {
        {"unknown_option", {"--speed", "3"}, 2, "unknown option --speed", {}},
        {"stray_argument", {"out.csv"}, 2, "unexpected argument \"out.csv\"", {}},
        {"negative_seconds",
         {"--seconds", "-1"},
         2,
         "--seconds wants a whole number of seconds from 0 to 2147483, not \"-1\"",
         {}},
        {"non_numeric_interval",
         {"--interval", "fast"},
         2,
         "--interval wants a whole number of milliseconds from 1 to 10000, not \"fast\"",
         {}},
        {"zero_interval",
         {"--interval=0"},
         2,
         "--interval wants a whole number of milliseconds from 1 to 10000, not \"0\"",
         {}},
        {"fraction_of_a_second",
         {"--wait", "1.5"},
         2,
         "--wait wants a whole number of seconds from 0 to 2147483, not \"1.5\"",
         {}},
        {"port_out_of_range",
         {"--port", "256"},
         2,
         "--port wants a whole number of a port from 1 to 255, not \"256\"",
         {}},
        {"huge_number",
         {"--seconds", "99999999999999999999"},
         2,
         "--seconds wants a whole number of seconds from 0 to 2147483, not "
         "\"99999999999999999999\"",
         {}},
        {"missing_value", {"--out"}, 2, "--out wants a value", {}},
        {"summary_to_standard_output", {"--summary", "-"}, 2, "--summary wants a file name", {}},
        {"folder_missing",
         {"--out", "gone/rec.csv"},
         4,
         "folder " + work.filePath("gone") + " does not exist",
         {}},
        {"out_is_a_folder",
         {"--out", "readonly"},
         4,
         work.filePath("readonly") + " is a folder",
         {}},
        {"read_only_folder",
         {"--out", "readonly/rec.csv"},
         4,
         "cannot write to folder " + work.filePath("readonly"),
         asNobody},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.prefix.isEmpty() && !noNobody.isEmpty()) {
            std::cout << "skipped " << c.name << ": " << noNobody.toStdString() << "\n";
            continue;
        }
        const RecorderRun r =
            RunRecorder(c.args, ports.path(), work.path(), 5000, c.prefix, recorder);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.stdErr.toStdString();
        const QStringList lines = r.stdErr.split('\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines[0].toStdString(), ("k740-record: " + c.message).toStdString());
        if (c.exitCode == 2) {
            EXPECT_EQ(lines.size(), 2);
            EXPECT_TRUE(lines.last().startsWith("usage: k740-record [--out FILE]"));
        } else {
            EXPECT_EQ(lines.size(), 1);
        }
        EXPECT_EQ(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  QStringList{"readonly"});
        EXPECT_TRUE(QDir(work.filePath("readonly")).isEmpty());
    }
    const RecorderRun help = RunRecorder({"--help"}, ports.path(), work.path(), 5000);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* code : {"  0  done", "  2  bad arguments", "  3  no box", "  4  the file"})
        EXPECT_TRUE(help.stdOut.contains(code)) << code;
}

// ------------------------------------------------------------ pipes and the disk

// A shell command line with the recorder as "$0", pointed at the simulated
// ports, run in `workDir`.
RecorderRun RunPipeline(const QString& script, const QString& serialDir, const QString& workDir,
                        int deadlineMs) {
    return RunRecorder({}, serialDir, workDir, deadlineMs,
                       {"bash", "-o", "pipefail", "-c", script});
}

QJsonObject ReadJson(const QString& path) {
    return QJsonDocument::fromJson(ReadAll(path)).object();
}

TEST(RecordProgram, StandardOutputIntoWcCountsExactlyTheLinesWritten) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    const RecorderRun r =
        RunPipeline(R"("$0" --out - --seconds 2 --interval 5 --summary run.json | wc -l)",
                    ports.path(), work.path(), 20000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.stdErr.toStdString();
    const QJsonObject summary = ReadJson(QDir(work.path()).filePath("run.json"));
    const int readings = summary["readings"].toInt();
    EXPECT_GT(readings, 50);
    EXPECT_EQ(r.stdOut.trimmed().toInt(), readings + 1) << "the header and one line a reading";
    EXPECT_EQ(ServedFrames(sim).size(), readings + 1) << "the detection's frame and every reading";
    EXPECT_TRUE(r.stdErr.contains("k740-record: Recording to standard output\n"));
    EXPECT_TRUE(r.stdErr.contains(QStringLiteral("k740-record: readings: %1 in ").arg(readings)))
        << r.stdErr.toStdString();
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files), QStringList{"run.json"})
        << "no recording file beside the summary";
}

// A broker of the test's own on 127.0.0.1, on the first free port it finds.
class Broker {
public:
    explicit Broker(const QString& dir) {
        for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
            const int port =
                20000 + int((QCoreApplication::applicationPid() * 7 + attempt * 131) % 30000);
            const QString conf = QDir(dir).filePath("mosquitto.conf");
            QFile f(conf);
            if (!f.open(QIODevice::WriteOnly)) return;
            f.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                   "persistence false\n")
                        .arg(port)
                        .toLatin1());
            f.close();
            // Its log says little unless asked to (-v), so the pipe it goes
            // to never fills while nobody reads it.
            proc_.setProcessChannelMode(QProcess::MergedChannels);
            proc_.start("mosquitto", {"-c", conf});
            if (WaitForLog(" running", 5000))
                port_ = port;
            else {
                proc_.kill();
                proc_.waitForFinished(2000);
            }
        }
    }
    ~Broker() {
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill();
        proc_.waitForFinished(1000);
    }
    int Port() const { return port_; }
    bool WaitForLog(const QString& text, int deadlineMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        while (!log_.contains(text)) {
            if (std::chrono::steady_clock::now() > end || proc_.state() == QProcess::NotRunning)
                return false;
            proc_.waitForReadyRead(50);
            log_ += QString::fromLocal8Bit(proc_.readAll());
        }
        return true;
    }

private:
    QProcess proc_;
    QString log_;
    int port_ = 0;
};

TEST(RecordProgram, ReadmeRecipeThroughAnMqttBrokerDeliversEveryLineInOrder) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    Broker broker(work.path());
    ASSERT_NE(broker.Port(), 0) << "mosquitto did not start";
    const QString port = QString::number(broker.Port());
    const QString topic = "line1/station7/positions";
    QProcess sub;
    sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", port, "-q", "1", "-t", topic});
    QStringList received;
    auto collect = [&] {
        sub.waitForReadyRead(20);
        while (sub.canReadLine()) received << QString::fromLatin1(sub.readLine()).chopped(1);
    };
    // The subscriber prints each message as it comes: once a probe has come
    // through, it is subscribed.
    const QString probe = "probe";
    ASSERT_TRUE(WaitFor(
        [&] {
            QProcess::execute("mosquitto_pub",
                              {"-q", "1", "-h", "127.0.0.1", "-p", port, "-t", topic, "-m", probe});
            collect();
            return received.contains(probe);
        },
        10000, [] {}))
        << "the subscriber did not subscribe";
    received.clear();

    const RecorderRun r = RunPipeline(
        QStringLiteral(
            R"("$0" --out - --seconds 2 --interval 5 | mosquitto_pub -l -q 1 -h 127.0.0.1 -p %1 -t %2)")
            .arg(port, topic),
        ports.path(), work.path(), 20000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.stdErr.toStdString();

    // Every served frame after the detection's is a reading, and a line.
    const QStringList served = ServedFrames(sim).mid(1);
    ASSERT_GT(served.size(), 50);
    const bool all = WaitFor(
        [&] {
            collect();
            received.removeAll(probe);  // a probe still under way
            return received.size() >= served.size() + 1;
        },
        10000, [] {});
    sub.terminate();
    sub.waitForFinished(3000);
    ASSERT_TRUE(all) << received.size() << " of " << served.size() + 1 << " lines arrived";
    EXPECT_EQ(received.size(), served.size() + 1) << "more arrived than was published";
    EXPECT_EQ(received.first(), "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;");
    QStringList rx;
    for (const QString& line : received.mid(1)) rx << line.section(';', 1, 1).mid(2);
    EXPECT_EQ(rx, served) << "lines lost, doubled or out of order";
}

TEST(RecordProgram, NothingStartsWhenTheOutputCannotBeHad) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    struct Case {
        const char* name;
        QString script;
        int exitCode;
        QStringList stdErr;
    };
    const QString usage = QString::fromLatin1(
        "usage: k740-record [--out FILE] [--seconds S] "
        "[--interval MS] [--wait S] [--port N] "
        "[--summary FILE]");
    const Case cases[] = {
        {"standard_output_closed",
         R"("$0" --out - >&-)",
         4,
         {"k740-record: standard output is closed; --out - has nowhere to write"}},
        {"summary_into_a_missing_folder",
         R"("$0" --out rec.csv --summary gone/run.json)",
         2,
         {"k740-record: --summary: folder " + QDir(work.path()).filePath("gone") +
              " does not exist",
          usage}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RecorderRun r = RunPipeline(c.script, ports.path(), work.path(), 5000);
        ASSERT_TRUE(r.finished) << "it hung";
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.stdErr.split('\n', Qt::SkipEmptyParts), c.stdErr);
        EXPECT_TRUE(sim.Commands().isEmpty()) << "the box was spoken to";
        EXPECT_TRUE(QDir(work.path()).isEmpty()) << "something was created";
    }
}

TEST(RecordProgram, ReaderThatGoesAwayEndsTheRunCleanlyWithItsSummary) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    // head leaves after five lines; pipefail gives the recorder's own end
    // (141 for a death by SIGPIPE). Four readings a second: lines held in a
    // buffer would keep head waiting far beyond the deadline.
    const RecorderRun r =
        RunPipeline(R"("$0" --out - --seconds 0 --interval 250 --summary run.json | head -n 5)",
                    ports.path(), work.path(), 15000);
    ASSERT_TRUE(r.finished) << "still running after its reader went";
    EXPECT_EQ(r.exitCode, 0) << r.stdErr.toStdString();
    EXPECT_EQ(r.stdOut.split('\n', Qt::SkipEmptyParts).size(), 5);
    EXPECT_TRUE(
        r.stdErr.contains("k740-record: the reader of standard output has gone; stopping\n"))
        << r.stdErr.toStdString();
    EXPECT_TRUE(r.stdErr.contains("k740-record: readings: ")) << r.stdErr.toStdString();
    EXPECT_GE(ReadJson(QDir(work.path()).filePath("run.json"))["readings"].toInt(), 4);
}

// The file reaches the disk once a second while lines come, and once more
// when it is closed: seen in the system calls the recorder makes.
TEST(RecordProgram, FileIsSyncedAtMostOnceASecondAndOnClose) {
    QTemporaryDir ports, work;
    SimProcess sim(ports.path(), 7);
    ASSERT_TRUE(sim.WaitReady());
    const QString trace = QDir(work.path()).filePath("trace.txt");
    // The sanitizer build's leak check cannot run under a tracer; every other
    // run of the program does it.
    const QString noLeakCheck =
        "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":detect_leaks=0";
    const RecorderRun r = RunRecorder({"--out", "rec.csv", "--seconds", "3", "--interval", "1"},
                                      ports.path(), work.path(), 30000,
                                      {"env", noLeakCheck, "strace", "-f", "-qq", "-e",
                                       "trace=openat,fdatasync,close", "-o", trace});
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exitCode, 0) << r.stdErr.toStdString();
    const QString text = QString::fromLatin1(ReadAll(trace));
    const QRegularExpression opened(R"(openat\(AT_FDCWD, "(?:[^"]*/)?rec\.csv", .*\) = (\d+))");
    const QRegularExpressionMatch m = opened.match(text);
    ASSERT_TRUE(m.hasMatch()) << "the recording was not opened as expected";
    const QString fd = m.captured(1);
    QStringList onFile;  // "fdatasync" and "close" on the recording's descriptor, in order
    const QRegularExpression call("(fdatasync|close)\\(" + fd + "\\)");
    for (const QString& line : text.mid(m.capturedEnd()).split('\n')) {
        const QRegularExpressionMatch c = call.match(line);
        if (c.hasMatch()) onFile << c.captured(1);
        if (c.hasMatch() && c.captured(1) == "close") break;
    }
    ASSERT_FALSE(onFile.isEmpty());
    EXPECT_EQ(onFile.last(), "close");
    const qsizetype syncs = onFile.count("fdatasync");
    const std::uint64_t lastMs =
        Lines(QDir(work.path()).filePath("rec.csv")).last().section(';', 0, 0).toULongLong();
    EXPECT_GE(lastMs, 3000u);
    // One a second of the recording, and one at the close, which is the last.
    EXPECT_LE(syncs, qsizetype(lastMs / 1000 + 1)) << text.toStdString();
    EXPECT_GE(syncs, 3);
    ASSERT_GE(onFile.size(), 2);
    EXPECT_EQ(onFile[onFile.size() - 2], "fdatasync") << "closed without a sync";
}

}  // namespace
