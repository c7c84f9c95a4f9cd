#include "ui/quorvane_arch.h"

#include <QPainter>

#include <algorithm>

QuorvaneArch::QuorvaneArch(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    connect(this, &QuorvaneArch::shapeChanged, this, [this] { update(); });
    connect(this, &QuorvaneArch::colorChanged, this, [this] { update(); });
}

void QuorvaneArch::setOuterRadius(qreal value)
{
    if (m_outerRadius == value)
        return;
    m_outerRadius = value;
    emit shapeChanged();
}

void QuorvaneArch::setStroke(qreal value)
{
    if (m_stroke == value)
        return;
    m_stroke = value;
    emit shapeChanged();
}

void QuorvaneArch::setBaseBar(qreal value)
{
    if (m_baseBar == value)
        return;
    m_baseBar = value;
    emit shapeChanged();
}

void QuorvaneArch::setColor(const QColor &value)
{
    if (m_color == value)
        return;
    m_color = value;
    emit colorChanged();
}

QPainterPath QuorvaneArch::path(const QRectF &rect, qreal outerRadius, qreal stroke, qreal baseBar)
{
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    if (rect.width() <= 0 || rect.height() <= 0)
        return path;
    const qreal s = std::min(rect.width() / kDesignWidth, rect.height() / kDesignHeight);
    const qreal x0 = rect.left() + (rect.width() - kDesignWidth * s) / 2;
    const qreal y0 = rect.top() + (rect.height() - kDesignHeight * s) / 2;
    const auto at = [&](qreal x, qreal y) { return QPointF(x0 + x * s, y0 + y * s); };
    const qreal r = outerRadius;
    const qreal t = stroke;
    const qreal b = baseBar;

    // The upper half of a circle centred at (r, r), from its leftmost point
    // over the top to its rightmost one. Qt's angles run counter-clockwise
    // with y up, so 180 degrees sweeping -180 passes over the top on screen.
    const auto upperHalf = [&](qreal radius) {
        const QPointF topLeft = at(r - radius, r - radius);
        path.arcTo(QRectF(topLeft, QSizeF(2 * radius * s, 2 * radius * s)), 180, -180);
    };

    path.moveTo(at(0, kDesignHeight));
    path.lineTo(at(0, r));
    upperHalf(r);
    path.lineTo(at(kDesignWidth, kDesignHeight));
    path.closeSubpath();

    path.moveTo(at(t, kDesignHeight - b));
    path.lineTo(at(t, r));
    upperHalf(r - t);
    path.lineTo(at(kDesignWidth - t, kDesignHeight - b));
    path.closeSubpath();
    return path;
}

void QuorvaneArch::paint(QPainter *painter)
{
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(m_color);
    painter->drawPath(path(QRectF(0, 0, width(), height()), m_outerRadius, m_stroke, m_baseBar));
}
