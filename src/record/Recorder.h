// The headless recorder: the tool's reading session without a window,
// writing the tool's recording format through core. It observes the session
// as the window does and adds its own ends: the wait for a box, the duration,
// a file that cannot be written. One Step() is one tick; the caller waits the
// time it returns, so tests can drive it tick by tick.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/Enkoderji_splosno.h"
#include "core/ReadingSession.h"
#include "core/Recording.h"
#include "record/RunSummary.h"

struct TRecorderOptions {
    // Empty: the tool's file name in OutFolder; kStandardOutputOption: a pipe.
    QString OutFile;
    QString OutFolder = QStringLiteral(".");
    int Seconds = 20;  // 0: until stopped
    int IntervalMs = kDefaultReadingIntervalMs;
    int WaitSeconds = 10;
    std::optional<int> Port;  // only this port; every candidate when empty
};

// The --out value that means standard output.
inline constexpr char kStandardOutputOption[] = "-";

enum class TRecorderState { SearchInterface, SearchEncoder, Reading, Finished };

// How a finished recorder ends, as the program's exit code.
enum class TRecorderExit {
    Done = 0,        // the time ran out, it was stopped, or the pipe's reader left
    NoBox = 3,       // no box, or no encoder behind it, within the wait
    FileFailed = 4,  // the file could not be created or written
};

class TRecorder : private TSessionObserver {
public:
    explicit TRecorder(TRecorderOptions options);
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // One tick of the current state; returns the milliseconds to wait
    // before the next one (0 once finished).
    int Step();
    // Ends now, as a signal asks: the file is closed with every line.
    void Stop();

    TRecorderState State() const;
    TRecorderExit Exit() const { return exit_; }
    QString FilePath() const { return filePath_; }
    bool Recording() const { return recordStart_.has_value(); }
    std::uint64_t Readings() const { return summary_.Readings(); }
    // Readings that failed (each sent the recorder back to a search).
    std::uint64_t Faults() const { return summary_.Faults(); }
    // The readings recorded and the faults met so far.
    const TRunSummary& Summary() const { return summary_; }
    // Milliseconds since the recording started; 0 before.
    std::uint64_t ElapsedMs() const;

    // What tests may replace: the millisecond clock, the local time for the
    // file name, the user's locale, and where log lines and messages go.
    std::function<std::uint64_t()> Clock;
    std::function<QDateTime()> Now;
    std::function<QLocale()> Locale;
    std::function<void(const QString&)> Log;

private:
    // The session's reports.
    void PortAccessProblem(const QString& line) override;
    void InterfaceFound(int port) override;
    void InterfaceIdentified(const TBoxIdentity& identity) override;
    void SetupMessage(const QString& text) override;
    void SetupLog(const QString& line) override;
    void InterfaceReady() override;
    void EncoderFound(TDetection found) override;
    void FrameRead(const TFrameRead& read) override;
    void GoodReading(const TGoodReading& reading) override;
    void ReadingFailed(TReadingFault fault) override;
    void InterfaceLost() override;
    void EncoderLost() override;

    bool StartFile();
    bool TimeUp() const;
    bool WaitedInVain() const;
    // Ends the step that is running, once the session's tick is over.
    void EndAfterThisStep(TRecorderExit exit, const QString& why = {});
    int Finish(TRecorderExit exit, const QString& why = {});
    void Say(const QString& line) const;

    TRecorderOptions options_;
    // The tool's records, owned here rather than shared as globals.
    TSessionFields fields_;
    TEncoderPosition position_;
    TEncoderSignature signature_;
    std::int32_t detailedStatus_ = 0;
    TReadingSession session_;
    bool finished_ = false;
    TRecorderExit exit_ = TRecorderExit::Done;
    struct TEnd {
        TRecorderExit Exit;
        QString Why;
    };
    std::optional<TEnd> end_;  // set by a report, acted on after the step
    int portNumber_ = 0;
    TBoxIdentity identity_;
    std::unique_ptr<TRecordingFile> file_;
    QString filePath_;
    std::optional<std::uint64_t> begun_;        // the first step, for the wait
    std::optional<std::uint64_t> recordStart_;  // the file's time zero
    TRunSummary summary_;
};
