// k740-record: the tool's recording without its window, for scripts and
// machines without a display.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>

#include "core/Formatting.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "record/Recorder.h"

namespace {

const char kUsageLine[] =
    "usage: k740-record [--out FILE] [--seconds S] [--interval MS] [--wait S] [--port N]\n";

const char kHelp[] =
    "\n"
    "Finds the K740-3T box as the tool does (USB serial ports, and the COM<n> links\n"
    "in K740_SERIALCOMM_DIR), sets it up, detects the encoder and records every\n"
    "good reading in the tool's format. The file is created once the encoder is\n"
    "found; its times count from then. A lost box sends it back to the search and\n"
    "a failed frame check to the encoder search; the recording goes on in the same\n"
    "file. Progress goes to standard error.\n"
    "\n"
    "Positions are absolute: there is no software zero here, so Position_mm counts\n"
    "from the encoder's count 0. The window's Position_mm is relative to the zero\n"
    "set with its Zero button. Position_cnt is the raw count in both.\n"
    "\n"
    "  --out FILE     the file to write (replaced if it exists); default: the tool's\n"
    "                 name, POSITION_<part number>__<time stamp>.csv, in the current\n"
    "                 folder\n"
    "  --seconds S    record for S seconds, 0 to 2147483 (default 20; 0: until\n"
    "                 interrupted); the reading that passes S is the last\n"
    "  --interval MS  pause between readings, 1 to 10000 ms (default 70)\n"
    "  --wait S       give up when no box, or no encoder behind it, answered\n"
    "                 within S seconds, 0 to 2147483 (default 10)\n"
    "  --port N       try only COM<N>, 1 to 255 (default: every candidate)\n"
    "  --help         this text\n"
    "\n"
    "SIGINT or SIGTERM ends the recording with every line in the file.\n"
    "\n"
    "Exit codes:\n"
    "  0  done: the time ran out, or it was interrupted\n"
    "  1  an unexpected internal error\n"
    "  2  bad arguments\n"
    "  3  no box (or no encoder behind it) found within --wait seconds\n"
    "  4  the file could not be written\n";

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onSignal(int) {
    g_stop = 1;
}

struct ArgumentError {
    QString text;
};

// A whole number from lo to hi, digits only.
int number(const QString& option, const QString& value, int lo, int hi, const char* unit) {
    bool ok = !value.isEmpty();
    long long v = 0;
    for (const QChar c : value) {
        if (c < u'0' || c > u'9' || v > hi) {
            ok = false;
            break;
        }
        v = v * 10 + (c.unicode() - u'0');
    }
    if (!ok || v < lo || v > hi)
        throw ArgumentError{
            QStringLiteral("%1 wants a whole number of %2 from %3 to %4, not \"%5\"")
                .arg(option, QString::fromLatin1(unit))
                .arg(lo)
                .arg(hi)
                .arg(value)};
    return static_cast<int>(v);
}

TRecorderOptions parse(const QStringList& args) {
    TRecorderOptions o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString option = args[i];
        std::optional<QString> value;
        if (const qsizetype eq = option.indexOf(u'='); option.startsWith("--") && eq > 0) {
            value = option.mid(eq + 1);
            option = option.left(eq);
        }
        const QStringList known = {"--out", "--seconds", "--interval", "--wait", "--port"};
        if (!known.contains(option))
            throw ArgumentError{option.startsWith(u'-')
                                    ? QStringLiteral("unknown option %1").arg(option)
                                    : QStringLiteral("unexpected argument \"%1\"").arg(option)};
        if (!value) {
            if (i + 1 >= args.size())
                throw ArgumentError{QStringLiteral("%1 wants a value").arg(option)};
            value = args[++i];
        }
        if (option == "--out") {
            if (value->isEmpty()) throw ArgumentError{QStringLiteral("--out wants a file name")};
            o.OutFile = *value;
        } else if (option == "--seconds") {
            o.Seconds = number(option, *value, 0, 2147483, "seconds");
        } else if (option == "--interval") {
            o.IntervalMs = number(option, *value, 1, 10000, "milliseconds");
        } else if (option == "--wait") {
            o.WaitSeconds = number(option, *value, 0, 2147483, "seconds");
        } else {
            o.Port = number(option, *value, 1, 255, "a port");
        }
    }
    return o;
}

// The folder must be there and writable before the search begins, so a
// mistyped path fails at once and creates nothing.
std::optional<QString> outputProblem(const TRecorderOptions& o) {
    const QString folder = o.OutFile.isEmpty() ? QDir(o.OutFolder).absolutePath()
                                               : QFileInfo(o.OutFile).absolutePath();
    const QFileInfo dir(folder);
    const QString shown = QDir::toNativeSeparators(folder);
    if (!dir.exists()) return QStringLiteral("folder %1 does not exist").arg(shown);
    if (!dir.isDir()) return QStringLiteral("%1 is not a folder").arg(shown);
    if (!dir.isWritable()) return QStringLiteral("cannot write to folder %1").arg(shown);
    if (!o.OutFile.isEmpty()) {
        const QFileInfo file(o.OutFile);
        const QString name = QDir::toNativeSeparators(file.absoluteFilePath());
        if (file.isDir()) return QStringLiteral("%1 is a folder").arg(name);
        if (file.exists() && !file.isWritable()) return QStringLiteral("cannot write %1").arg(name);
    }
    return std::nullopt;
}

// The progress line: in place on a terminal, every few seconds otherwise.
class Progress {
public:
    explicit Progress(const TRecorder& rec)
        : rec_(rec),
          terminal_(platform::StderrIsTerminal()),
          next_(platform::TickMs() + Period()) {}

    void Update(bool force = false) {
        const std::uint64_t now = platform::TickMs();
        if (!force && now < next_) return;
        next_ = now + Period();
        const QByteArray text = Text().toLocal8Bit();
        if (terminal_) {
            // Blanks over what a longer line before left standing.
            const int pad = shown_ > text.size() ? static_cast<int>(shown_ - text.size()) : 0;
            std::fprintf(stderr, "\r%s%*s", text.constData(), pad, "");
            shown_ = text.size();
        } else {
            std::fprintf(stderr, "%s\n", text.constData());
        }
        std::fflush(stderr);
    }
    // A log line above the progress line.
    void Line(const QString& line) {
        Clear();
        std::fprintf(stderr, "k740-record: %s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
        if (terminal_) next_ = 0;  // the progress line back under it at once
    }
    void End() {
        Update(true);
        if (terminal_) std::fprintf(stderr, "\n");
        shown_ = 0;
    }

private:
    std::uint64_t Period() const { return terminal_ ? 250 : 5000; }
    void Clear() {
        if (!terminal_ || shown_ == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
        shown_ = 0;
    }
    QString Text() const {
        const double seconds = static_cast<double>(rec_.ElapsedMs()) / 1000.0;
        const double rate = seconds > 0 ? static_cast<double>(rec_.Readings()) / seconds : 0.0;
        QString state;
        if (rec_.State() == TRecorderState::SearchInterface) state = ", searching for the box";
        if (rec_.State() == TRecorderState::SearchEncoder) state = ", searching for the encoder";
        return QStringLiteral("k740-record: %1, %2/s, %3, %4 s%5")
            .arg(CountOf(rec_.Readings(), QStringLiteral("reading"), QStringLiteral("readings")))
            .arg(rate, 0, 'f', 1)
            .arg(CountOf(rec_.Faults(), QStringLiteral("fault"), QStringLiteral("faults")))
            .arg(seconds, 0, 'f', 1)
            .arg(state);
    }

    const TRecorder& rec_;
    const bool terminal_;
    std::uint64_t next_;
    qsizetype shown_ = 0;
};

// Waits `ms` or until a signal, keeping the progress line current.
void pause(int ms, Progress& progress) {
    const std::uint64_t until = platform::TickUs() + static_cast<std::uint64_t>(ms) * 1000u;
    for (;;) {
        progress.Update();
        const std::uint64_t now = platform::TickUs();
        if (g_stop || now >= until) return;
        platform::SleepUs(static_cast<unsigned>(std::min<std::uint64_t>(until - now, 50000)));
    }
}

int run(const TRecorderOptions& options) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    TRecorder rec(options);
    Progress progress(rec);
    rec.Log = [&progress](const QString& line) { progress.Line(line); };
    while (rec.State() != TRecorderState::Finished) {
        if (g_stop) {
            rec.Stop();
            break;
        }
        const int wait = rec.Step();
        if (rec.State() != TRecorderState::Finished) pause(wait, progress);
    }
    if (rec.Recording() || rec.Readings() > 0) progress.End();
    return static_cast<int>(rec.Exit());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.contains("--help") || args.contains("-h")) {
        std::printf("%s%s", kUsageLine, kHelp);
        return 0;
    }
    TRecorderOptions options;
    try {
        options = parse(args);
    } catch (const ArgumentError& e) {
        std::fprintf(stderr, "k740-record: %s\n%s", e.text.toLocal8Bit().constData(), kUsageLine);
        return 2;
    }
    if (const auto problem = outputProblem(options)) {
        std::fprintf(stderr, "k740-record: %s\n", problem->toLocal8Bit().constData());
        return static_cast<int>(TRecorderExit::FileFailed);
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "\nk740-record: %s\n", e.what());
        return 1;
    }
}
