#include "app/ScreenFit.h"

QSize FitWindowToScreen(QSize client, QSize room, int bar) {
    if (room.isEmpty()) return client;
    bool vertical = client.height() > room.height();
    bool horizontal = client.width() > room.width();
    if (vertical && !horizontal) horizontal = client.width() + bar > room.width();
    if (horizontal && !vertical) vertical = client.height() + bar > room.height();
    const QSize wanted(client.width() + (vertical ? bar : 0),
                       client.height() + (horizontal ? bar : 0));
    return wanted.boundedTo(room);
}
