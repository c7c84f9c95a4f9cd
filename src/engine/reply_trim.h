#pragma once

#include <QChar>
#include <QString>

// The characters trimmed from the ends of a reply and from the start of the
// first streamed piece: every Unicode whitespace and line-break character
// (QChar::isSpace) plus the invisible format characters that models like to
// emit around a reply: U+200B zero width space, U+200C zero width non-joiner,
// U+200D zero width joiner, U+FEFF zero width no-break space, U+00AD soft
// hyphen and U+2060 word joiner.
//
// Every member is in the Basic Multilingual Plane, so trimming walks UTF-16
// units and can never split a surrogate pair. Characters inside the text are
// never touched. All functions are pure and safe on any thread.

bool isInReplyTrimSet(char32_t codePoint);
inline bool isInReplyTrimSet(QChar c) { return isInReplyTrimSet(char32_t(c.unicode())); }

// The text without leading and trailing members of the set.
QString trimReply(const QString &text);
// The text without leading members of the set.
QString trimReplyStart(const QString &text);
