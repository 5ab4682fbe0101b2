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
//    A link named COM without a number, or one that leads to no character
//    device, is left out: there is no port to open behind it.
// Windows: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM of string type,
//    as they are (data "COM" alone included); values of any other type are
//    left out.
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
