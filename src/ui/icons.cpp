#include "ui/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace tarvo {

namespace {

const QColor kPanel(28, 46, 84);
const QColor kGrid(214, 224, 240);
const QColor kLampOn(0, 200, 60);
const QColor kLampOff(220, 40, 40);

QPixmap drawLinkIcon(int size, LinkIcon state) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;

    // The switcher panel.
    p.setPen(Qt::NoPen);
    p.setBrush(kPanel);
    p.drawRoundedRect(QRectF(0.5, 0.5, s - 1, s - 1), s * 0.18, s * 0.18);

    // A 3 x 3 crosspoint grid: three sources across, three destinations down, one route made.
    const qreal left = s * 0.16, top = s * 0.16, span = s * 0.5, step = span / 2;
    p.setPen(QPen(kGrid, qMax<qreal>(1.0, s / 24)));
    for (int i = 0; i < 3; ++i) {
        p.drawLine(QPointF(left, top + i * step), QPointF(left + span, top + i * step));
        p.drawLine(QPointF(left + i * step, top), QPointF(left + i * step, top + span));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kGrid);
    const qreal dot = s * 0.07;
    p.drawEllipse(QPointF(left + step, top + step), dot, dot);

    // The link lamp in the lower right corner.
    const QPointF c(s * 0.74, s * 0.74);
    const qreal r = s * 0.2;
    p.setBrush(state == LinkIcon::Connected ? kLampOn : kLampOff);
    p.setPen(QPen(Qt::white, qMax<qreal>(1.0, s / 20)));
    p.drawEllipse(c, r, r);
    if (state == LinkIcon::NotConnected) {
        p.setPen(QPen(Qt::white, qMax<qreal>(1.5, s / 12), Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c + QPointF(-r * 0.55, 0), c + QPointF(r * 0.55, 0));
    }
    return pm;
}

}  // namespace

QIcon LinkIconImage(LinkIcon state) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(drawLinkIcon(size, state));
    return icon;
}

QPixmap MakerLogo(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    p.setPen(Qt::NoPen);
    p.setBrush(kPanel);
    p.drawEllipse(QRectF(1, 1, s - 2, s - 2));
    // A "T" whose bar is a signal path ending in an arrow.
    p.setBrush(kGrid);
    p.drawRect(QRectF(s * 0.22, s * 0.26, s * 0.46, s * 0.12));
    QPainterPath arrow;
    arrow.moveTo(s * 0.66, s * 0.2);
    arrow.lineTo(s * 0.82, s * 0.32);
    arrow.lineTo(s * 0.66, s * 0.44);
    arrow.closeSubpath();
    p.drawPath(arrow);
    p.drawRect(QRectF(s * 0.42, s * 0.38, s * 0.12, s * 0.4));
    return pm;
}

}  // namespace tarvo
