#include "engine/reply_trim.h"

bool isInReplyTrimSet(char32_t codePoint)
{
    switch (codePoint) {
    case 0x200B: // zero width space
    case 0x200C: // zero width non-joiner
    case 0x200D: // zero width joiner
    case 0xFEFF: // zero width no-break space (byte order mark)
    case 0x00AD: // soft hyphen
    case 0x2060: // word joiner
        return true;
    default:
        return QChar::isSpace(codePoint);
    }
}

namespace {

qsizetype firstKept(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && isInReplyTrimSet(text.at(i)))
        ++i;
    return i;
}

} // namespace

QString trimReply(const QString &text)
{
    const qsizetype begin = firstKept(text);
    qsizetype end = text.size();
    while (end > begin && isInReplyTrimSet(text.at(end - 1)))
        --end;
    if (begin == 0 && end == text.size())
        return text;
    return text.mid(begin, end - begin);
}

QString trimReplyStart(const QString &text)
{
    const qsizetype begin = firstKept(text);
    return begin == 0 ? text : text.mid(begin);
}
