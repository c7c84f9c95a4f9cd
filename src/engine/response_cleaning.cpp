#include "engine/response_cleaning.h"

#include "engine/reply_trim.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// Strings one model family or another uses to end its turn; removed in this
// order.
const char *const kEndTokens[] = {
    "[end of text]", "<|endoftext|>", "<|end|>", "<|eot_id|>", "</s>", "<|im_end|>",
};

// Step 1: the model repeated the user's turn before answering.
QString dropEchoedTurn(const QString &text)
{
    if (!text.startsWith(QLatin1String("User:")))
        return text;
    const QLatin1String assistant("\n\nAssistant:");
    qsizetype at = text.indexOf(assistant, 0, Qt::CaseInsensitive);
    if (at >= 0)
        return text.mid(at + assistant.size());
    const QLatin1String shortLabel("\n\nA:");
    at = text.indexOf(shortLabel, 0, Qt::CaseSensitive);
    if (at >= 0)
        return text.mid(at + shortLabel.size());
    return text;
}

// Step 2: llama.cpp's notice that its input ended, and whatever follows.
QString dropEndOfInputNotice(const QString &text)
{
    qsizetype at = text.indexOf(QLatin1String("\n> EOF by user"), 0, Qt::CaseInsensitive);
    if (at < 0)
        at = text.indexOf(QLatin1String("> EOF by user"), 0, Qt::CaseInsensitive);
    return at >= 0 ? text.left(at) : text;
}

void dropPrefix(QString &text, QLatin1String prefix)
{
    if (text.startsWith(prefix))
        text.remove(0, prefix.size());
}

void dropSuffix(QString &text, QLatin1String suffix)
{
    if (text.endsWith(suffix))
        text.chop(suffix.size());
}

bool isFenceLine(const QString &line)
{
    qsizetype i = 0;
    while (i < line.size() && (line.at(i) == u' ' || line.at(i) == u'\t'))
        ++i;
    return QStringView(line).mid(i).startsWith(QLatin1String("```"));
}

} // namespace

QString collapseSpacesOutsideCode(const QString &text)
{
    // Local rather than static: one regular expression object is not meant to
    // be shared between threads, and this runs on the process queue.
    const QRegularExpression spaceRun(QStringLiteral("  +"));
    QStringList lines = text.split(u'\n');
    bool insideFence = false;
    for (QString &line : lines) {
        if (isFenceLine(line))
            insideFence = !insideFence;
        else if (!insideFence)
            line.replace(spaceRun, QStringLiteral(" "));
    }
    return lines.join(u'\n');
}

QString cleanResponse(const QString &raw)
{
    QString text = dropEchoedTurn(raw);
    text = dropEndOfInputNotice(text);

    for (const char *token : kEndTokens)
        text.remove(QLatin1String(token), Qt::CaseSensitive);

    dropPrefix(text, QLatin1String("\nUser:"));
    dropPrefix(text, QLatin1String("\nAssistant:"));
    dropPrefix(text, QLatin1String("User:"));
    dropPrefix(text, QLatin1String("Assistant:"));

    dropSuffix(text, QLatin1String("\nUser:"));
    dropSuffix(text, QLatin1String("\nAssistant:"));

    text = trimReply(text);

    const QRegularExpression blankLines(QStringLiteral("\n{3,}"));
    text.replace(blankLines, QStringLiteral("\n\n"));

    return collapseSpacesOutsideCode(text);
}
