// Opens one port as whoever runs it and prints how that went, for the
// contract test that runs it as an unprivileged user:
//   "Opened", or the classification and the device's group ("AccessDenied dialout").
#include <cstdio>
#include <cstdlib>

#include "platform/SerialPort.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: platform_open_probe PORT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const platform::PortHandle h = platform::OpenPort(port);
    if (h != platform::InvalidHandle) {
        platform::ClosePort(h);
        std::puts("Opened");
        return 0;
    }
    const char* names[] = {"NotFound", "AccessDenied", "InUse", "Other"};
    std::printf("%s %s\n",
                names[static_cast<int>(platform::ClassifyOpenError(platform::LastError()))],
                platform::DeviceGroupForPort(port).c_str());
    return 0;
}
