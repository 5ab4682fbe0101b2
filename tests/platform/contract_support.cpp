// The part of the contract support that is the same on every platform.
#include "contract_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Clock.h"

namespace contract::detail {
namespace {

int countAnswers(const std::string& log) {
    std::ifstream in(log, std::ios::binary);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "end of commands") ++n;
    }
    return n;
}

}  // namespace

void SendConsole(const std::string& console, const std::string& log, const std::string& lines) {
    const int before = countAnswers(log);
    {
        std::ofstream out(console, std::ios::binary | std::ios::app);
        out << lines;
        if (!lines.empty() && lines.back() != '\n') out << '\n';
        // The box prints its command list and then this line: it has acted on
        // everything that came before.
        out << "commands\n";
        out.flush();
        if (!out) throw std::runtime_error("cannot write to the box's console " + console);
    }
    const std::uint64_t end = platform::TickMs() + 10000;
    while (countAnswers(log) <= before) {
        if (platform::TickMs() > end)
            throw std::runtime_error("the box did not answer its console (" + console + ")");
        platform::SleepMs(5);
    }
}

}  // namespace contract::detail
