// From the serial device map to the ordered port numbers to try. Pure: no
// device is touched, so the filter and the ordering are tested on plain pairs.
#pragma once

#include <QStringList>
#include <vector>

#include "platform/DeviceMap.h"

// A sorted list of texts that ignores duplicates; sorted without regard to
// case, which for three-digit items is ascending numeric order.
class TSortedStringList {
public:
    void Clear() { items_.clear(); }
    void Add(const QString& s);
    int Count() const { return static_cast<int>(items_.size()); }
    const QString& operator[](int i) const { return items_.at(i); }
    const QStringList& Items() const { return items_; }

private:
    QStringList items_;
};

// Fills `comPorts` from the entries whose device name contains "USBSER"
// (case-sensitive) and whose port name begins with "COM": the rest of the
// name as a number (1 when it is none), zero-padded to three digits.
void ListComPorts(const std::vector<platform::DeviceMapEntry>& map, TSortedStringList& comPorts);

// The items read back as numbers, in list order.
std::vector<int> PortNumbers(const TSortedStringList& comPorts);
