#include "ui/code_highlighter.h"

#include <QCache>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>

namespace ui {

namespace {

constexpr int kCacheLimit = 256;

// Unicode-aware \b, \w, \d and \s, so word boundaries fall where an
// ICU-based engine puts them.
constexpr auto kOptions = QRegularExpression::UseUnicodePropertiesOption;

QStringList withBase(std::initializer_list<const char *> extra)
{
    QStringList list = {
        "if", "else", "for", "while", "do", "switch", "case", "break", "continue", "return", "func",
        "function", "def", "class", "struct", "enum", "var", "let", "const", "import", "from", "as",
        "try", "catch", "throw", "async", "await", "public", "private", "protected", "static", "void",
        "int", "string", "bool", "true", "false", "nil", "null", "self", "this", "super", "new", "delete",
    };
    for (const char *word : extra)
        list.append(QString::fromLatin1(word));
    return list;
}

// One compiled pattern per keyword, in list order, for each keyword list.
struct KeywordPatterns {
    QStringList words;
    QList<QRegularExpression> patterns;

    explicit KeywordPatterns(QStringList list) : words(std::move(list))
    {
        for (const QString &word : words)
            patterns.append(QRegularExpression(QStringLiteral("\\b") + QRegularExpression::escape(word)
                                                   + QStringLiteral("\\b"),
                                               kOptions));
    }
};

const KeywordPatterns &patternsFor(const QString &language)
{
    static const KeywordPatterns base(withBase({}));
    static const KeywordPatterns python(withBase({"lambda", "yield", "with", "pass", "raise", "finally", "except",
                                                  "assert", "global", "nonlocal", "elif", "in", "is", "not", "and",
                                                  "or", "None", "True", "False"}));
    static const KeywordPatterns javascript(
        withBase({"typeof", "instanceof", "in", "of", "yield", "delete", "void", "undefined", "export", "default",
                  "extends", "implements", "interface", "type"}));
    static const KeywordPatterns swift(withBase({"guard", "defer", "inout", "extension", "protocol", "typealias",
                                                 "associatedtype", "mutating", "override", "final", "required",
                                                 "convenience", "dynamic", "lazy", "optional", "throws",
                                                 "rethrows", "where"}));
    const QString lower = language.toLower();
    if (lower == QLatin1String("python"))
        return python;
    if (lower == QLatin1String("javascript") || lower == QLatin1String("js") || lower == QLatin1String("typescript")
        || lower == QLatin1String("ts"))
        return javascript;
    if (lower == QLatin1String("swift"))
        return swift;
    return base;
}

// Blanks around a line: tab and the space separators.
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

void paint(QList<SyntaxRole> &roles, qsizetype start, qsizetype length, SyntaxRole role)
{
    std::fill(roles.begin() + start, roles.begin() + start + length, role);
}

void paintMatches(QList<SyntaxRole> &roles, const QString &code, const QRegularExpression &pattern,
                  SyntaxRole role, int group = 0)
{
    if (!pattern.isValid())
        return;
    for (auto it = pattern.globalMatch(code); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (match.capturedStart(group) >= 0)
            paint(roles, match.capturedStart(group), match.capturedLength(group), role);
    }
}

// Comment lines before the first line of code.
void paintLeadingComments(QList<SyntaxRole> &roles, const QString &code)
{
    qsizetype lineStart = 0;
    while (lineStart <= code.size()) {
        qsizetype lineEnd = code.indexOf(u'\n', lineStart);
        if (lineEnd < 0)
            lineEnd = code.size();
        qsizetype first = lineStart;
        qsizetype last = lineEnd;
        while (first < last && isBlank(code.at(first)))
            ++first;
        while (last > first && isBlank(code.at(last - 1)))
            --last;
        if (first < last) {
            const QStringView content = QStringView(code).mid(first, last - first);
            if (!content.startsWith(u"//") && !content.startsWith(u'#'))
                return;
            paint(roles, lineStart, lineEnd - lineStart, SyntaxRole::Comment);
        }
        lineStart = lineEnd + 1;
    }
}

const char *colourOf(SyntaxRole role, bool light)
{
    if (light) {
        switch (role) {
        case SyntaxRole::Base: return "#1f2328";
        case SyntaxRole::Comment: return "#5f6368";
        case SyntaxRole::String: return "#116329";
        case SyntaxRole::Number: return "#953800";
        case SyntaxRole::Keyword: return "#8250df";
        case SyntaxRole::Function: return "#0550ae";
        }
        return "#1f2328";
    }
    switch (role) {
    case SyntaxRole::Base: return "#ffffff";
    case SyntaxRole::Comment: return "#808080";   // 0.5 0.5 0.5
    case SyntaxRole::String: return "#99e699";    // 0.6 0.9 0.6
    case SyntaxRole::Number: return "#ffb366";    // 1.0 0.7 0.4
    case SyntaxRole::Keyword: return "#cc66e6";   // 0.8 0.4 0.9
    case SyntaxRole::Function: return "#4db3ff";  // 0.3 0.7 1.0
    }
    return "#ffffff";
}

struct Cache {
    QMutex mutex;
    QCache<QString, QString> entries{kCacheLimit};
};

Cache &cache()
{
    static Cache instance;
    return instance;
}

QString cacheKey(const QString &code, const QString &language, bool light)
{
    return (light ? QStringLiteral("light:") : QString()) + language.toLower() + u'|' + code;
}

} // namespace

const QStringList &keywordsFor(const QString &language)
{
    return patternsFor(language).words;
}

QList<SyntaxRole> syntaxRoles(const QString &code, const QString &language)
{
    static const QRegularExpression strings[] = {
        QRegularExpression(QStringLiteral("\"[^\"]*\""), kOptions),
        QRegularExpression(QStringLiteral("'[^']*'"), kOptions),
        QRegularExpression(QStringLiteral("`[^`]*`"), kOptions),
    };
    static const QRegularExpression number(QStringLiteral("\\b\\d+(\\.\\d+)?\\b"), kOptions);
    static const QRegularExpression function(QStringLiteral("\\b([a-zA-Z_][a-zA-Z0-9_]*)\\s*\\("), kOptions);

    QList<SyntaxRole> roles(code.size(), SyntaxRole::Base);
    paintLeadingComments(roles, code);
    for (const QRegularExpression &pattern : strings)
        paintMatches(roles, code, pattern, SyntaxRole::String);
    paintMatches(roles, code, number, SyntaxRole::Number);
    for (const QRegularExpression &pattern : patternsFor(language).patterns)
        paintMatches(roles, code, pattern, SyntaxRole::Keyword);
    paintMatches(roles, code, function, SyntaxRole::Function, 1);
    return roles;
}

QColor syntaxColour(SyntaxRole role, bool light)
{
    return QColor(QLatin1String(colourOf(role, light)));
}

QColor codeBackground(bool light)
{
    return light ? QColor(0xf3, 0xf4, 0xf6) : QColor::fromRgbF(0, 0, 0, 0.4f);
}

QString highlightedHtml(const QString &code, const QString &language, bool light)
{
    const QList<SyntaxRole> roles = syntaxRoles(code, language);
    QString html;
    html.reserve(code.size() * 2 + 64);
    html += QStringLiteral("<div style=\"white-space:pre; color:%1\">").arg(QLatin1String(colourOf(SyntaxRole::Base, light)));
    qsizetype i = 0;
    while (i < code.size()) {
        const SyntaxRole role = roles.at(i);
        qsizetype end = i + 1;
        while (end < code.size() && roles.at(end) == role)
            ++end;
        const QString run = code.mid(i, end - i).toHtmlEscaped();
        if (role == SyntaxRole::Base)
            html += run;
        else
            html += QStringLiteral("<span style=\"color:%1\">").arg(QLatin1String(colourOf(role, light))) + run
                    + QStringLiteral("</span>");
        i = end;
    }
    html += QStringLiteral("</div>");
    return html;
}

QString highlightCode(const QString &code, const QString &language, bool light)
{
    const QString key = cacheKey(code, language, light);
    Cache &c = cache();
    {
        QMutexLocker lock(&c.mutex);
        if (const QString *hit = c.entries.object(key))
            return *hit;
    }
    const QString html = highlightedHtml(code, language, light);
    QMutexLocker lock(&c.mutex);
    c.entries.insert(key, new QString(html));
    return html;
}

int highlightCacheCount()
{
    QMutexLocker lock(&cache().mutex);
    return int(cache().entries.count());
}

bool isHighlightCached(const QString &code, const QString &language, bool light)
{
    QMutexLocker lock(&cache().mutex);
    return cache().entries.contains(cacheKey(code, language, light));
}

void clearHighlightCache()
{
    QMutexLocker lock(&cache().mutex);
    cache().entries.clear();
}

} // namespace ui
