// k740-sim: a simulated interface box on a pseudo-terminal, steered by lines
// on stdin or on a FIFO, for trying the tool by hand and for scripted runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "PtyBox.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &b, 1);
    errno = saved;
}

const char kUsage[] =
    "usage: k740-sim --dir DIR --port N [--encoder advanced|simple|none] [--delay MS]\n"
    "                [--control FIFO]\n"
    "\n"
    "Runs a simulated K740-3T box on a pseudo-terminal and links it as DIR/COM<N>\n"
    "(point K740_SERIALCOMM_DIR at DIR). Prints \"k740-sim: COM<N> -> /dev/pts/X\",\n"
    "then reads control lines from stdin, or with --control from the FIFO (made\n"
    "when missing, removed at the end if made): `echo unplug >FIFO`. \"quit\",\n"
    "SIGTERM or SIGINT end it and remove the link. Started in the background\n"
    "(`k740-sim ... &`), it leaves the terminal alone and reads it again once\n"
    "brought to the foreground (`fg`). End of input on a terminal quits too; end\n"
    "of input from a pipe or file does not, so `k740-sim ... </dev/null &` runs\n"
    "until signalled.\n"
    "\n"
    "The encoder answers only while the box supplies it: switched off (\"OFF\" in\n"
    "the tool), it reads as all ones and the tool loses it, as at a bench.\n"
    "\n"
    "Control lines:\n"
    "  unplug | replug            remove the port / bring a fresh one back\n"
    "  silent on|off              answer nothing at all\n"
    "  delay MS                   wait MS ms before every reply\n"
    "  crc bad|good               advanced frames with a wrong / right CRC\n"
    "  trailing N                 low 4 bits of every frame (0..15)\n"
    "  length DELTA               frames with DELTA hex digits more (or fewer)\n"
    "  lower on|off               frames in lower case with blanks between pairs\n"
    "  garbage on|off             every reply replaced by junk bytes\n"
    "  error CMD TEXT             answer CMD with TEXT + CR LF\n"
    "  noreply CMD                never answer CMD\n"
    "  raw CMD BYTES              answer CMD with exactly BYTES (escapes \\r \\n \\t\n"
    "                             \\\\ \\xNN; no CR LF added)\n"
    "  clear                      drop all per-command overrides\n"
    "  encoder advanced|simple|none\n"
    "  position N                 encoder count (0..67108863)\n"
    "  speed N                    counts added after every frame read (may be < 0)\n"
    "  errbit on|off              error bit active / inactive\n"
    "  warnbit on|off             warning bit active / inactive\n"
    "  status N                   detailed status byte (0..255, 0x.. allowed)\n"
    "  ident TEXT | firmware TEXT | serial TEXT   replies to v, o, r\n"
    "  commands                   print every command received (\"cmd: v\" ...),\n"
    "                             then \"end of commands\"\n"
    "  frames                     print every frame answered (\"frame: ...\"), then\n"
    "                             \"end of frames\"\n"
    "  help | quit\n"
    "Lines that are empty or start with # are ignored.\n";

std::optional<long long> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    // Decimal, or hex after 0x; a leading 0 does not mean octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

std::optional<k740sim::EncoderKind> parseEncoder(const std::string& text) {
    if (text == "advanced") return k740sim::EncoderKind::Advanced;
    if (text == "simple") return k740sim::EncoderKind::Simple;
    if (text == "none") return k740sim::EncoderKind::None;
    return std::nullopt;
}

std::optional<bool> parseSwitch(const std::string& text, const char* on, const char* off) {
    if (text == on) return true;
    if (text == off) return false;
    return std::nullopt;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        switch (text[i]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
                const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
                if (hi < 0 || lo < 0) return std::nullopt;
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

void printLink(const k740sim::PtyBox& box, int port) {
    std::cout << "k740-sim: COM" << port << " -> " << box.SlavePath() << std::endl;
}

// Where control lines come from: the FIFO of --control, or standard input.
// A terminal is read only while this process is in its foreground: the
// system stops a background job that reads its terminal ("Stopped (tty
// input)"), and the box would stop answering with it.
class ControlInput {
public:
    // Standard input.
    ControlInput() : fd_(STDIN_FILENO), terminal_(::isatty(STDIN_FILENO) == 1) {}
    // The FIFO at `path`, made when missing. Opened for reading and writing,
    // so that it stays open across writers: each `echo ... >FIFO` closes its
    // end, which would otherwise read as the end of input.
    explicit ControlInput(const std::string& path) : path_(path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) throw std::runtime_error(path + " exists and is no FIFO");
        } else if (::mkfifo(path.c_str(), 0600) == 0) {
            made_ = true;
        } else {
            throw std::runtime_error("cannot make the FIFO " + path + ": " + std::strerror(errno));
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            const int e = errno;
            if (made_) ::unlink(path.c_str());
            throw std::runtime_error("cannot open the FIFO " + path + ": " + std::strerror(e));
        }
    }
    ~ControlInput() {
        if (path_.empty()) return;
        ::close(fd_);
        if (made_) ::unlink(path_.c_str());
    }
    ControlInput(const ControlInput&) = delete;
    ControlInput& operator=(const ControlInput&) = delete;

    int Fd() const { return fd_; }
    bool Terminal() const { return terminal_; }
    // False while the terminal belongs to another job: leave it alone then.
    bool MayRead() const { return !terminal_ || ::tcgetpgrp(fd_) == ::getpgrp(); }

private:
    std::string path_;
    int fd_ = -1;
    bool terminal_ = false;
    bool made_ = false;
};

enum class Outcome { Go, Quit };

// One control line; problems go to stderr and the sim carries on.
Outcome handleLine(k740sim::PtyBox& pty, int port, const std::string& line) {
    std::istringstream in(line);
    std::string word, arg;
    in >> word;
    if (word.empty() || word[0] == '#') return Outcome::Go;
    std::getline(in >> std::ws, arg);  // the rest of the line, inner blanks kept
    const std::string firstArg = arg.substr(0, arg.find(' '));
    const std::string restArg =
        arg.find(' ') == std::string::npos ? std::string() : arg.substr(arg.find(' ') + 1);
    auto& box = pty.Box();
    auto bad = [&line](const char* why) {
        std::cerr << "k740-sim: " << why << ": " << line << std::endl;
        return Outcome::Go;
    };
    auto onOff = [&](auto setter) {
        const auto v = parseSwitch(arg, "on", "off");
        if (!v) return bad("expected on or off");
        setter(*v);
        return Outcome::Go;
    };
    auto number = [&](long long lo, long long hi, auto setter) {
        const auto v = parseNumber(arg);
        if (!v || *v < lo || *v > hi) return bad("number out of range");
        setter(*v);
        return Outcome::Go;
    };

    if (word == "quit") return Outcome::Quit;
    if (word == "help") {
        std::cout << kUsage << std::flush;
        return Outcome::Go;
    }
    if (word == "commands") {
        // Every command received so far, then a line that ends the list, so a
        // script can wait for it.
        for (const std::string& c : box.Commands()) std::cout << "cmd: " << c << "\n";
        std::cout << "end of commands" << std::endl;
        return Outcome::Go;
    }
    if (word == "frames") {
        for (const std::string& f : box.Frames()) std::cout << "frame: " << f << "\n";
        std::cout << "end of frames" << std::endl;
        return Outcome::Go;
    }
    if (word == "unplug") {
        pty.Unplug();
        return Outcome::Go;
    }
    if (word == "replug") {
        try {
            pty.Replug();
        } catch (const std::exception& e) {
            std::cerr << "k740-sim: " << e.what() << std::endl;
            return Outcome::Go;
        }
        printLink(pty, port);
        return Outcome::Go;
    }
    if (word == "silent") return onOff([&](bool v) { box.SetSilent(v); });
    if (word == "lower") return onOff([&](bool v) { box.SetLowerCaseWithBlanks(v); });
    if (word == "garbage") return onOff([&](bool v) { box.SetGarbage(v); });
    if (word == "errbit") return onOff([&](bool v) { box.SetErrorBit(v); });
    if (word == "warnbit") return onOff([&](bool v) { box.SetWarningBit(v); });
    if (word == "crc") {
        const auto v = parseSwitch(arg, "bad", "good");
        if (!v) return bad("expected bad or good");
        box.SetBadCrc(*v);
        return Outcome::Go;
    }
    if (word == "delay")
        return number(0, 600000, [&](long long v) { box.SetReplyDelayMs(unsigned(v)); });
    if (word == "trailing")
        return number(0, 15, [&](long long v) { box.SetTrailingBits(std::uint8_t(v)); });
    if (word == "length")
        return number(-1000, 1000, [&](long long v) { box.SetFrameLengthDelta(int(v)); });
    if (word == "position")
        return number(0, (1 << 26) - 1, [&](long long v) { box.SetPosition(std::uint32_t(v)); });
    if (word == "speed")
        return number(-(1 << 25), 1 << 25, [&](long long v) { box.SetSpeed(std::int32_t(v)); });
    if (word == "status")
        return number(0, 255, [&](long long v) { box.SetDetailedStatus(std::uint8_t(v)); });
    if (word == "encoder") {
        const auto kind = parseEncoder(arg);
        if (!kind) return bad("expected advanced, simple or none");
        box.SetEncoder(*kind);
        return Outcome::Go;
    }
    if (word == "error") {
        if (firstArg.empty()) return bad("expected CMD TEXT");
        box.SetErrorReply(firstArg, restArg);
        return Outcome::Go;
    }
    if (word == "noreply") {
        if (firstArg.empty() || !restArg.empty()) return bad("expected CMD");
        box.SetNoReply(firstArg);
        return Outcome::Go;
    }
    if (word == "raw") {
        const auto bytes = unescape(restArg);
        if (firstArg.empty() || !bytes) return bad("expected CMD BYTES with valid escapes");
        box.SetRawReply(firstArg, *bytes);
        return Outcome::Go;
    }
    if (word == "clear") {
        box.ClearOverrides();
        return Outcome::Go;
    }
    if (word == "ident") {
        box.SetIdentification(arg);
        return Outcome::Go;
    }
    if (word == "firmware") {
        box.SetFirmware(arg);
        return Outcome::Go;
    }
    if (word == "serial") {
        box.SetSerial(arg);
        return Outcome::Go;
    }
    return bad("unknown control line");
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    std::optional<long long> port;
    k740sim::EncoderKind encoder = k740sim::EncoderKind::Advanced;
    long long delay = 0;
    std::string control;
    auto usageError = [](const std::string& why) {
        std::cerr << "k740-sim: " << why << " (see --help)\n";
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) return usageError("missing value after " + a);
        const std::string v = argv[++i];
        if (a == "--dir") {
            dir = v;
        } else if (a == "--port") {
            port = parseNumber(v);
            if (!port || *port < 0 || *port > 99999) return usageError("bad port: " + v);
        } else if (a == "--encoder") {
            const auto kind = parseEncoder(v);
            if (!kind) return usageError("bad encoder: " + v);
            encoder = *kind;
        } else if (a == "--delay") {
            const auto d = parseNumber(v);
            if (!d || *d < 0 || *d > 600000) return usageError("bad delay: " + v);
            delay = *d;
        } else if (a == "--control") {
            if (v.empty()) return usageError("--control wants a FIFO");
            control = v;
        } else {
            return usageError("unknown option " + a);
        }
    }
    if (dir.empty() || !port) return usageError("--dir and --port are required");

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("k740-sim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);  // a closed stdout must not kill the box
    // In the background the terminal is not read (see ControlInput); should
    // a read still race with a move to the background, it fails instead of
    // stopping the box. Output to the terminal is let through too.
    ::signal(SIGTTIN, SIG_IGN);
    ::signal(SIGTTOU, SIG_IGN);

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::cerr << "k740-sim: cannot create " << dir << ": " << ec.message() << std::endl;
        return 1;
    }

    try {
        const std::unique_ptr<ControlInput> input = control.empty()
                                                        ? std::make_unique<ControlInput>()
                                                        : std::make_unique<ControlInput>(control);
        k740sim::PtyBox pty(dir, int(*port));
        pty.Box().SetEncoder(encoder);
        pty.Box().SetReplyDelayMs(unsigned(delay));
        printLink(pty, int(*port));

        bool inputOpen = true;
        std::string buffered;
        for (;;) {
            const bool listen = inputOpen && input->MayRead();
            // In the background, look again now and then for a move to the
            // foreground; otherwise wait for input or a signal.
            const int timeoutMs = inputOpen && !listen ? 200 : -1;
            pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {input->Fd(), POLLIN, 0}};
            if (::poll(fds, listen ? 2 : 1, timeoutMs) < 0) {
                if (errno == EINTR) continue;
                std::perror("k740-sim: poll");
                break;
            }
            if (fds[0].revents & POLLIN) break;  // SIGTERM or SIGINT
            if (!listen || !fds[1].revents) continue;

            char chunk[1024];
            const ssize_t n = ::read(input->Fd(), chunk, sizeof chunk);
            // EIO: moved to the background between the look and the read.
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) continue;
            if (n <= 0) {
                // A last line without its newline still counts.
                if (!buffered.empty() && handleLine(pty, int(*port), buffered) == Outcome::Quit)
                    break;
                buffered.clear();
                if (input->Terminal()) break;
                inputOpen = false;  // scripts run us with </dev/null: wait for a signal
                continue;
            }
            buffered.append(chunk, std::size_t(n));
            bool quit = false;
            for (std::size_t nl; !quit && (nl = buffered.find('\n')) != std::string::npos;) {
                std::string line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                quit = handleLine(pty, int(*port), line) == Outcome::Quit;
            }
            if (quit) break;
            // A line without end is kept only to a sane length.
            if (buffered.size() > 65536) buffered.clear();
        }
    } catch (const std::exception& e) {
        std::cerr << "k740-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
