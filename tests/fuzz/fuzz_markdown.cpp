// A reply as the message view shows it: split into prose and fenced code, each
// code block coloured. Prose parts are trimmed and empty only as the whole of
// an empty message; every unit of code gets a role.
#include "engine/reply_trim.h"
#include "fuzz_common.h"
#include "ui/code_highlighter.h"
#include "ui/message_parts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<ui::ContentPart> parts = ui::splitMessage(QString::fromUtf8(inputBytes(data, size)));
    for (const ui::ContentPart &part : parts) {
        if (!part.isCode) {
            require((!part.content.isEmpty() || parts.size() == 1) && trimReply(part.content) == part.content);
            continue;
        }
        require(ui::syntaxRoles(part.content, part.language).size() == part.content.size());
        ui::highlightedHtml(part.content, part.language);
    }
    return 0;
}
