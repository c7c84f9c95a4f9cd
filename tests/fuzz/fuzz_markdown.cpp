// A reply as the message view shows it: split into prose and fenced code, each
// code block coloured. Prose parts are trimmed and empty only as the whole of
// an empty message; every unit of code gets a role.
#include "engine/reply_trim.h"
#include "ui/code_highlighter.h"
#include "ui/message_parts.h"

#include <QLoggingCategory>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<ui::ContentPart> parts = ui::splitMessage(text);
    for (const ui::ContentPart &part : parts) {
        if (!part.isCode) {
            if ((part.content.isEmpty() && parts.size() > 1) || trimReply(part.content) != part.content)
                std::abort();
            continue;
        }
        if (ui::syntaxRoles(part.content, part.language).size() != part.content.size())
            std::abort();
        ui::highlightedHtml(part.content, part.language);
    }
    return 0;
}
