// The recording file: its name, its header, one line per good reading, the
// duration rule and writes that survive a crash. The window and the recorder
// write through this, so their files have one format. The values differ in
// one column: Position_mm is relative to the software zero, which only the
// window has.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <memory>

#include "core/Enkoderji_splosno.h"

inline constexpr char kRecordingHeader[] =
    "Time(ms);RX;Position_cnt;Error;Warning;Position_mm;\r\n";

// "POSITION_" + part number + "_" + serial number + "_" + the 14-digit local
// time stamp + ".csv", in `folder`. The time stamp ignores the locale.
QString RecordingPath(const QString& folder, const QByteArray& partNumber,
                      const QByteArray& serialNumber, const QDateTime& when);

// One data line: elapsed ms, "0x" + the raw reply as shown, the raw count,
// the error and warning bits, the position in mm in the locale's notation;
// each field followed by ";", the line by CR LF, in the local 8-bit encoding.
// A reply is shown as it came, but its separators and control characters
// cannot add fields or lines: they are written as "?".
QByteArray RecordingLine(std::uint64_t elapsedMs, const QString& rx, const TEncoderPosition& pos,
                         const QLocale& locale);

// True once a recording with a limit (above 0 seconds) has passed it; the
// reading that finds this has been written already.
bool RecordingTimeUp(std::uint64_t elapsedMs, int limitSeconds);

// What went wrong with the file, for the caller to put into its own words.
enum class TRecordingFailure { None, FolderFailed, StartFailed, WriteFailed, CloseFailed };

struct TRecordingResult {
    TRecordingFailure Failure = TRecordingFailure::None;
    QString Path;    // the file (the folder for FolderFailed)
    QString Reason;  // the system's words
    bool Ok() const { return Failure == TRecordingFailure::None; }
};

// Where recordings go.
struct TRecordingFolder {
    QString Path;
    // Path is the documents folder, not the program's: the user must be told
    // where to look.
    bool Fallback = false;
    // Why: the program is installed (else its folder cannot be written).
    bool Installed = false;
    // FolderFailed when the documents folder was needed and could not be
    // made; nothing it made on the way is left behind.
    TRecordingResult Result;
};

// The documents folder, created when missing, for an installed program (in
// /usr/bin, under Program Files): it never writes beside itself, whatever its
// rights, as root or an administrator may write there. The program's folder
// for a copy that is not installed (a build tree, an unpacked zip) when the
// user may write there, else the documents folder again.
TRecordingFolder ChooseRecordingFolder(const QString& programFolder,
                                       const QString& documentsFolder);

// An open recording file. Every line goes to the operating system as it is
// written, unbuffered, so a crash or a kill loses at most the reading in
// flight; a line the disk had no room for is taken back, so the file holds
// whole lines only.
class TRecordingFile {
public:
    // Creates the file anew (replacing one of that name) and writes the
    // header. On failure nothing stays open, a file that was created is
    // removed again, `result` says why, and the answer is null.
    static std::unique_ptr<TRecordingFile> Start(const QString& path, TRecordingResult& result);
    ~TRecordingFile();
    TRecordingFile(const TRecordingFile&) = delete;
    TRecordingFile& operator=(const TRecordingFile&) = delete;

    TRecordingResult Write(const QByteArray& line);
    TRecordingResult Close();
    QString Path() const { return file_.fileName(); }

private:
    explicit TRecordingFile(const QString& path) : file_(path) {}
    QFile file_;
};
