#include "tray/tray_pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace {

QPixmap blank()
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    return pm;
}

// On the 16 x 16 grid, drawn at any size: the program's icon is this figure too.
QPixmap idle_figure(int size = 16)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    p.setPen(QPen(QColor(0, 0, 128), 1));
    p.setBrush(QColor(255, 220, 0));
    p.drawEllipse(QRectF(5, 0.5, 6, 6));               // head
    p.setBrush(QColor(30, 60, 200));
    QPainterPath body;
    body.moveTo(2.5, 15.5);
    body.lineTo(3.5, 9);
    body.quadTo(8, 5.5, 12.5, 9);
    body.lineTo(13.5, 15.5);
    body.closeSubpath();
    p.drawPath(body);
    return pm;
}

QPixmap busy_face()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(128, 0, 0), 1));
    p.setBrush(QColor(230, 20, 20));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(4, 4, 3, 3));
    p.drawEllipse(QRectF(9, 4, 3, 3));
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4, 9, 8, 4), 0, 180 * 16);        // open mouth: busy
    return pm;
}

QPixmap power_symbol()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(210, 0, 0), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(2.5, 3, 11, 11), 120 * 16, 300 * 16);
    p.drawLine(QPointF(8, 1.5), QPointF(8, 8));
    return pm;
}

QPixmap check_list()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setPen(QColor(90, 90, 90));
    p.setBrush(Qt::white);
    p.drawRect(1, 0, 13, 15);
    for (int row = 0; row < 3; ++row) {
        const int y = 3 + row * 4;
        p.setPen(QPen(QColor(0, 140, 0), 1.5));
        p.drawLine(QPointF(3, y), QPointF(4.5, y + 1.5));
        p.drawLine(QPointF(4.5, y + 1.5), QPointF(7, y - 1.5));
        p.setPen(QColor(40, 40, 160));
        p.drawLine(8, y, 12, y);
    }
    return pm;
}

QPixmap magnifier()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setPen(QColor(90, 90, 90));
    p.setBrush(Qt::white);
    p.drawRect(0, 0, 10, 13);
    p.setPen(QColor(150, 150, 150));
    for (int y = 3; y <= 10; y += 2)
        p.drawLine(2, y, 8, y);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 70, 0), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11.5, 11.5), QPointF(14.5, 14.5));
    p.setPen(QPen(QColor(0, 0, 0), 1.2));
    p.setBrush(QColor(170, 220, 255, 200));
    p.drawEllipse(QRectF(5, 5, 7, 7));
    return pm;
}

} // namespace

QList<QPixmap> make_image_list()
{
    return {idle_figure(), busy_face(), power_symbol(), check_list(), magnifier()};
}

QIcon program_icon()
{
    QIcon drawn;
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        drawn.addPixmap(idle_figure(size));
    // The installed icon where there is one, so every place shows the same.
    return QIcon::fromTheme(QStringLiteral("cz.stravon.Stravon"), drawn);
}
