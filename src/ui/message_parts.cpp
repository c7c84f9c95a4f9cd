#include "ui/message_parts.h"

#include "engine/reply_trim.h"
#include "platform/byte_count.h"
#include "ui/code_highlighter.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QVariantMap>

namespace ui {

namespace {

void appendProse(QList<ContentPart> &parts, const QString &text)
{
    QString prose = trimReply(text);
    if (!prose.isEmpty())
        parts.append({std::move(prose), false, {}});
}

} // namespace

QString figuresLine(const ReplyFigures &figures)
{
    QStringList shown;
    if (figures.secondsToFirstToken)
        shown << QString::number(*figures.secondsToFirstToken, 'f', 2) + QStringLiteral(" s to first token");
    if (figures.tokensPerSecond)
        shown << QString::number(*figures.tokensPerSecond, 'f', 1) + QStringLiteral(" tokens/s");
    if (figures.tokenCount)
        shown << QString::number(*figures.tokenCount)
                     + (*figures.tokenCount == 1 ? QStringLiteral(" token") : QStringLiteral(" tokens"));
    for (const QString &name : {figures.engineName, figures.modelName})
        if (!name.isEmpty())
            shown << name;
    return shown.join(QStringLiteral(" · "));
}

QList<ContentPart> splitMessage(const QString &text)
{
    // \w follows Unicode, as the fence language may be any word.
    static const QRegularExpression fence(QStringLiteral("```(\\w*)\\n([\\s\\S]*?)```"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    const QString trimmed = trimReply(text);
    QList<ContentPart> parts;
    qsizetype cursor = 0;
    bool matched = false;
    for (auto it = fence.globalMatch(trimmed); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        matched = true;
        appendProse(parts, trimmed.mid(cursor, match.capturedStart() - cursor));
        QString language = match.captured(1);
        if (language.isEmpty())
            language = QStringLiteral("code");
        parts.append({match.captured(2), true, std::move(language)});
        cursor = match.capturedEnd();
    }
    if (!matched)
        return {{trimmed, false, {}}};
    appendProse(parts, trimmed.mid(cursor));
    return parts;
}

} // namespace ui

MessageRendering::MessageRendering(QObject *parent) : QObject(parent) {}

QVariantList MessageRendering::parts(const QString &content)
{
    QVariantList result;
    for (const ui::ContentPart &part : ui::splitMessage(content)) {
        result.append(QVariantMap{{QStringLiteral("kind"), part.isCode ? QStringLiteral("code") : QStringLiteral("prose")},
                                  {QStringLiteral("text"), part.content},
                                  {QStringLiteral("language"), part.language}});
    }
    return result;
}

QString MessageRendering::highlight(const QString &code, const QString &language, bool useCache, bool light)
{
    return useCache ? ui::highlightCode(code, language, light) : ui::highlightedHtml(code, language, light);
}

QColor MessageRendering::codeBackground(bool light)
{
    return ui::codeBackground(light);
}

void MessageRendering::copyToClipboard(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

QString MessageRendering::formatSize(double bytes)
{
    return formatByteCount(qint64(bytes));
}
