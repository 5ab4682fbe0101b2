#include "core/PortList.h"

#include "core/Orodja.h"

void TSortedStringList::Add(const QString& s) {
    // Binary search for the insertion point; an equal item is a duplicate.
    qsizetype lo = 0, hi = items_.size();
    while (lo < hi) {
        const qsizetype mid = (lo + hi) / 2;
        const int c = QString::compare(items_.at(mid), s, Qt::CaseInsensitive);
        if (c == 0) return;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    items_.insert(lo, s);
}

void ListComPorts(const std::vector<platform::DeviceMapEntry>& map, TSortedStringList& comPorts) {
    comPorts.Clear();
    for (const auto& e : map) {
        if (e.DeviceName.find("USBSER") == std::string::npos) continue;
        if (e.PortName.compare(0, 3, "COM") != 0) continue;
        const int n = StrToIntDef(QString::fromLatin1(e.PortName.substr(3)), 1);
        comPorts.Add(QString::fromLatin1(ZeroPad(n, 3)));
    }
}

std::vector<int> PortNumbers(const TSortedStringList& comPorts) {
    std::vector<int> out;
    for (const QString& s : comPorts.Items()) out.push_back(StrToIntDef(s, 1));
    return out;
}
