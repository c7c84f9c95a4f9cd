#include "ui/text_styling.h"

#include <QQuickTextDocument>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>

TextStyling::TextStyling(QObject *parent)
    : QObject(parent)
{
}

void TextStyling::setTextEdit(QQuickItem *item)
{
    if (m_textEdit == item)
        return;
    if (m_document)
        disconnect(m_document, nullptr, this, nullptr);
    m_textEdit = item;
    m_document = nullptr;
    if (item) {
        if (auto *wrapper = item->property("textDocument").value<QQuickTextDocument *>())
            m_document = wrapper->textDocument();
    }
    if (m_document)
        connect(m_document, &QTextDocument::contentsChanged, this, &TextStyling::restyle);
    restyle();
    emit textEditChanged();
}

void TextStyling::setParagraphSpacing(qreal value)
{
    if (m_paragraphSpacing == value)
        return;
    m_paragraphSpacing = value;
    restyle();
    emit paragraphSpacingChanged();
}

void TextStyling::setLinkColor(const QColor &value)
{
    if (m_linkColor == value)
        return;
    m_linkColor = value;
    restyle();
    emit linkColorChanged();
}

void TextStyling::restyle()
{
    // Changing formats changes the contents again; that round is ours.
    if (m_applying || !m_document)
        return;
    m_applying = true;
    apply(m_document, m_paragraphSpacing, m_linkColor);
    m_applying = false;
}

void TextStyling::apply(QTextDocument *document, qreal paragraphSpacing, const QColor &linkColor)
{
    QTextCursor cursor(document);
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QTextBlock next = block.next();
        const bool sameList = block.textList() && next.isValid() && next.textList() == block.textList();
        const qreal below = next.isValid() && !sameList ? paragraphSpacing : 0;
        QTextBlockFormat format = block.blockFormat();
        if (format.bottomMargin() != below) {
            format.setBottomMargin(below);
            cursor.setPosition(block.position());
            cursor.setBlockFormat(format);
        }
        if (!linkColor.isValid())
            continue;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid() || !fragment.charFormat().isAnchor()
                || fragment.charFormat().foreground().color() == linkColor)
                continue;
            QTextCharFormat link;
            link.setForeground(linkColor);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.mergeCharFormat(link);
        }
    }
}
