// The headless recorder: the tool's three states (interface search, encoder
// search, reading) without a window, writing the tool's recording format
// through core. One Step() is one tick of the current state; the caller
// waits the time it returns, so tests can drive it tick by tick.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/BoxProtocol.h"
#include "core/Enkoderji_splosno.h"
#include "core/PortList.h"
#include "core/Recording.h"

struct TRecorderOptions {
    QString OutFile;  // empty: the tool's file name in OutFolder
    QString OutFolder = QStringLiteral(".");
    int Seconds = 20;  // 0: until stopped
    int IntervalMs = 70;
    int WaitSeconds = 10;
    std::optional<int> Port;  // only this port; every candidate when empty
};

enum class TRecorderState { SearchInterface, SearchEncoder, Reading, Finished };

// How a finished recorder ends, as the program's exit code.
enum class TRecorderExit {
    Done = 0,        // the time ran out, or it was stopped
    NoBox = 3,       // no box, or no encoder behind it, within the wait
    FileFailed = 4,  // the file could not be created or written
};

class TRecorder {
public:
    explicit TRecorder(TRecorderOptions options);
    ~TRecorder();
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // One tick of the current state; returns the milliseconds to wait
    // before the next one (0 once finished).
    int Step();
    // Ends now, as a signal asks: the file is closed with every line.
    void Stop();

    TRecorderState State() const { return state_; }
    TRecorderExit Exit() const { return exit_; }
    QString FilePath() const { return filePath_; }
    bool Recording() const { return recordStart_.has_value(); }
    std::uint64_t Readings() const { return readings_; }
    // Readings that sent the recorder back to a search: a lost box, a lost
    // encoder, a reply refused for its length.
    std::uint64_t Faults() const { return faults_; }
    // Milliseconds since the recording started; 0 before.
    std::uint64_t ElapsedMs() const;

    // What tests may replace: the millisecond clock, the local time for the
    // file name, the user's locale, and where log lines and messages go.
    std::function<std::uint64_t()> Clock;
    std::function<QDateTime()> Now;
    std::function<QLocale()> Locale;
    std::function<void(const QString&)> Log;

private:
    int SearchInterface();
    int SearchEncoder();
    int ReadEncoder();
    // One read: false when the reply was refused for its length (the port
    // is closed then).
    bool ReadFrame(bool advanced, TEncoderRead& read);
    void ReplyRefused();
    bool StartFile();
    bool TimeUp() const;
    int Finish(TRecorderExit exit, const QString& why = {});
    void ClosePort();
    void Say(const QString& line) const;
    TBoxReport Report() const;

    TRecorderOptions options_;
    TRecorderState state_ = TRecorderState::SearchInterface;
    TRecorderExit exit_ = TRecorderExit::Done;
    // The tool's records, owned here rather than shared as globals.
    TEncoderPosition position_;
    TEncoderSignature signature_;
    std::int32_t detailedStatus_ = 0;
    platform::PortHandle port_ = platform::InvalidHandle;
    int portNumber_ = 0;
    TSortedStringList comPorts_;
    TPortAccessReporter portAccess_;
    QByteArray identification_;
    bool advanced_ = false;
    std::unique_ptr<TRecordingFile> file_;
    QString filePath_;
    std::optional<std::uint64_t> begun_;        // the first step, for the wait
    std::optional<std::uint64_t> recordStart_;  // the file's time zero
    std::uint64_t readings_ = 0;
    std::uint64_t faults_ = 0;
};
