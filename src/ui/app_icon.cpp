#include "ui/app_icon.h"

#include "ui/quorvane_arch.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRegularExpression>

namespace app_icon {
namespace {

constexpr qreal kBox = 256;
constexpr qreal kCornerRadius = 56;
// The arch's frame inside the box.
const QRectF kArchFrame(48, 52, 160, 152);
const QColor kBackground(0x0a, 0x84, 0xff);
const QColor kForeground(Qt::white);

QPainterPath archPath()
{
    return QuorvaneArch::path(kArchFrame, 133, 25, 28);
}

QString number(qreal value)
{
    return QString::number(value, 'f', 3).remove(QRegularExpression(QStringLiteral("\\.?0+$")));
}

// The path as SVG path data; Qt stores arcs as cubic curves.
QString pathData(const QPainterPath &path)
{
    QString out;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.isMoveTo()) {
            if (!out.isEmpty())
                out += QStringLiteral("Z ");
            out += QStringLiteral("M%1 %2 ").arg(number(e.x), number(e.y));
        } else if (e.isLineTo()) {
            out += QStringLiteral("L%1 %2 ").arg(number(e.x), number(e.y));
        } else if (e.isCurveTo()) {
            const QPainterPath::Element c2 = path.elementAt(i + 1);
            const QPainterPath::Element end = path.elementAt(i + 2);
            out += QStringLiteral("C%1 %2 %3 %4 %5 %6 ")
                       .arg(number(e.x), number(e.y), number(c2.x), number(c2.y), number(end.x), number(end.y));
            i += 2;
        }
    }
    return out + QStringLiteral("Z");
}

} // namespace

QByteArray svg()
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
                          "viewBox=\"0 0 256 256\">\n"
                          "  <rect width=\"256\" height=\"256\" rx=\"%1\" fill=\"%2\"/>\n"
                          "  <path fill=\"%3\" fill-rule=\"evenodd\" d=\"%4\"/>\n"
                          "</svg>\n")
        .arg(number(kCornerRadius), kBackground.name(), kForeground.name(), pathData(archPath()))
        .toUtf8();
}

QImage image(int size)
{
    QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kBox, size / kBox);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBackground);
    painter.drawRoundedRect(QRectF(0, 0, kBox, kBox), kCornerRadius, kCornerRadius);
    painter.setBrush(kForeground);
    painter.drawPath(archPath());
    return out;
}

QIcon icon()
{
    QIcon out;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        out.addPixmap(QPixmap::fromImage(image(size)));
    return out;
}

} // namespace app_icon
