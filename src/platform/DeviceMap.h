// The serial device map: pairs of (device name, port name), the same kind of
// pairs on every platform, so that the filtering, numbering and ordering above
// this layer run unchanged.
//
// Linux:
//  - every USB CDC ACM tty (/sys/class/tty/ttyACM<k> bound to cdc_acm) gives
//    ("\Device\USBSER<k, three digits>", "COM<k+1>");
//  - when K740_SERIALCOMM_DIR names a directory, every entry COM<n> in it
//    (n decimal) that is a symbolic link to a tty device gives
//    ("\Device\USBSER_DIR_COM<n>", "COM<n>"). Such links are how simulated
//    boxes appear; OpenPort(n) opens the link when it exists.
// Windows: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

struct DeviceMapEntry {
    std::string DeviceName;  // the registry value name on Windows
    std::string PortName;    // "COM<n>"
};

// Read afresh on every call, in enumeration order. Never fails: a missing map
// is an empty list.
std::vector<DeviceMapEntry> ReadSerialDeviceMap();

}  // namespace platform
