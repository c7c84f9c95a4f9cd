#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>

namespace ui {

// What a character of code is coloured as.
enum class SyntaxRole : quint8 { Base, Comment, String, Number, Keyword, Function };

// The keywords coloured for a language (compared in lower case): a common
// list, extended for python, the javascript family and swift.
const QStringList &keywordsFor(const QString &language);

// The role of every UTF-16 unit of the code. Steps run in this order, later
// ones winning where they overlap: leading comment lines, string literals,
// numbers, keywords, function names.
QList<SyntaxRole> syntaxRoles(const QString &code, const QString &language);

// The colour of a role in the light or dark appearance, and the code
// block's background there (light: opaque; dark: black at 40 % over the
// window). Every role reads at 4.5:1 or more on the light background.
QColor syntaxColour(SyntaxRole role, bool light = false);
QColor codeBackground(bool light = false);

// The code as rich text for a Qt Quick text item: HTML-escaped, white space
// kept, each run of one role in its colour for the appearance.
QString highlightedHtml(const QString &code, const QString &language, bool light = false);

// highlightedHtml through the process-wide cache (256 entries, the least
// recently used one leaves first; keyed by the appearance, lower-case
// language, "|" and the code). Safe on any thread.
QString highlightCode(const QString &code, const QString &language, bool light = false);

// The cache, for tests.
int highlightCacheCount();
bool isHighlightCached(const QString &code, const QString &language, bool light = false);
void clearHighlightCache();

} // namespace ui
