#pragma once

#include "core/records.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

namespace ui {

// One run of a message: prose, or one fenced code block with its language
// ("code" when the fence names none; empty for prose).
struct ContentPart {
    QString content;
    bool isCode = false;
    QString language;

    friend bool operator==(const ContentPart &, const ContentPart &) = default;
};

// Splits a message into prose runs and fenced code blocks, in order. The
// text is trimmed of the reply trim set first; prose runs are trimmed the
// same way and dropped when empty; code is kept exactly as written between
// the fences. Text without a complete fence is one prose part.
QList<ContentPart> splitMessage(const QString &text);

// The quiet line under a reply: the known figures in this order, joined by
// " · " ("0.42 s to first token · 18.3 tokens/s · 245 tokens ·
// llama-completion · Tiny"); empty when none is known.
QString figuresLine(const ReplyFigures &figures);

} // namespace ui

// What the message views call from QML: splitting, colouring, copying and
// sizes. Stateless apart from the process-wide highlight cache.
class MessageRendering : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit MessageRendering(QObject *parent = nullptr);

    // The parts of a message as a list of {kind: "prose"|"code", text,
    // language}.
    Q_INVOKABLE static QVariantList parts(const QString &content);
    // Code as rich text with the syntax colours of the appearance; with
    // useCache false the result is computed without touching the cache (text
    // still streaming).
    Q_INVOKABLE static QString highlight(const QString &code, const QString &language, bool useCache = true,
                                         bool light = false);
    // The code block's background in the appearance.
    Q_INVOKABLE static QColor codeBackground(bool light);
    // Replaces the clipboard's content with the code as plain text.
    Q_INVOKABLE static void copyToClipboard(const QString &text);
    // A file size for display ("12 KB").
    Q_INVOKABLE static QString formatSize(double bytes);
};
