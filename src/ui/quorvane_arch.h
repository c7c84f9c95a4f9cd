#pragma once

#include <QColor>
#include <QPainterPath>
#include <QQuickPaintedItem>
#include <QRectF>
#include <QtQml/qqmlregistration.h>

// The logo's arch: a band standing on a base bar, drawn from a 266 by 250
// design box scaled to fit the item and centred in it, filled with the
// even-odd rule.
class QuorvaneArch : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(qreal outerRadius READ outerRadius WRITE setOuterRadius NOTIFY shapeChanged)
    Q_PROPERTY(qreal stroke READ stroke WRITE setStroke NOTIFY shapeChanged)
    Q_PROPERTY(qreal baseBar READ baseBar WRITE setBaseBar NOTIFY shapeChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)

public:
    static constexpr qreal kDesignWidth = 266;
    static constexpr qreal kDesignHeight = 250;

    explicit QuorvaneArch(QQuickItem *parent = nullptr);

    qreal outerRadius() const { return m_outerRadius; }
    void setOuterRadius(qreal value);
    qreal stroke() const { return m_stroke; }
    void setStroke(qreal value);
    qreal baseBar() const { return m_baseBar; }
    void setBaseBar(qreal value);
    QColor color() const { return m_color; }
    void setColor(const QColor &value);

    // The outer and inner outlines in rect, with the even-odd fill rule.
    static QPainterPath path(const QRectF &rect, qreal outerRadius, qreal stroke, qreal baseBar);

    void paint(QPainter *painter) override;

signals:
    void shapeChanged();
    void colorChanged();

private:
    qreal m_outerRadius = 133;
    qreal m_stroke = 25;
    qreal m_baseBar = 28;
    QColor m_color = Qt::black;
};
