// An attached text file: read as UTF-8 when it is, else as Latin-1; a file
// with a NUL byte goes to strings(1), which is absent here, so it gets the
// unreadable note.
#include "engine/attachment_text.h"
#include "fuzz_common.h"

#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QTemporaryDir dir;
    const QByteArray bytes = inputBytes(data, size);
    const AttachedFile file{{}, QStringLiteral("notes.txt"), dir.filePath(QStringLiteral("notes.txt")),
                            QStringLiteral("txt")};
    QFile out(file.filePath);
    require(out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size());
    out.close();
    AttachmentTextOptions options;
    options.stringsPath = QStringLiteral("/nonexistent/strings");
    const QString text = extractAttachmentText(file, options);
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return 0; // UTF-16 with a byte-order mark
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(bytes);
    if (bytes.contains('\0'))
        require(text == QString::fromUtf8(kUnreadableNote));
    else
        require(text == (utf8.hasError() ? QString::fromLatin1(bytes) : decoded));
    return 0;
}
