#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

class QTextDocument;

// Finishes the look of Markdown shown in a TextEdit, which the toolkit draws
// without space between paragraphs and with links in a fixed pure blue:
// every paragraph but the last gets paragraphSpacing below it (items of one
// list stay together), and links take linkColor. Applied again whenever the
// text changes, including while a reply streams in.
class TextStyling : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickItem *textEdit READ textEdit WRITE setTextEdit NOTIFY textEditChanged)
    Q_PROPERTY(qreal paragraphSpacing READ paragraphSpacing WRITE setParagraphSpacing NOTIFY paragraphSpacingChanged)
    Q_PROPERTY(QColor linkColor READ linkColor WRITE setLinkColor NOTIFY linkColorChanged)

public:
    explicit TextStyling(QObject *parent = nullptr);

    QQuickItem *textEdit() const { return m_textEdit; }
    void setTextEdit(QQuickItem *item);
    qreal paragraphSpacing() const { return m_paragraphSpacing; }
    void setParagraphSpacing(qreal value);
    QColor linkColor() const { return m_linkColor; }
    void setLinkColor(const QColor &value);

    // The styling applied to a document directly.
    static void apply(QTextDocument *document, qreal paragraphSpacing, const QColor &linkColor);

signals:
    void textEditChanged();
    void paragraphSpacingChanged();
    void linkColorChanged();

private:
    void restyle();

    QPointer<QQuickItem> m_textEdit;
    QPointer<QTextDocument> m_document;
    qreal m_paragraphSpacing = 0;
    QColor m_linkColor;
    bool m_applying = false;
};
