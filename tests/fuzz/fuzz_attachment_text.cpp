// An attached text file: read as UTF-8 when it is, else as Latin-1; a file
// with a NUL byte goes to strings(1), which is absent here, so it gets the
// unreadable note.
#include "engine/attachment_text.h"

#include <QFile>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
QTemporaryDir *g_dir = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    g_dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    AttachedFile file;
    file.fileName = QStringLiteral("notes.txt");
    file.fileType = QStringLiteral("txt");
    file.filePath = g_dir->filePath(file.fileName);
    QFile out(file.filePath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        std::abort();
    out.close();
    AttachmentTextOptions options;
    options.stringsPath = QStringLiteral("/nonexistent/strings");
    const QString text = extractAttachmentText(file, options);

    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return 0; // UTF-16 with a byte-order mark
    if (bytes.contains('\0')) {
        if (text != QString::fromUtf8(kUnreadableNote))
            std::abort();
        return 0;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(bytes);
    if (text != (utf8.hasError() ? QString::fromLatin1(bytes) : decoded))
        std::abort();
    return 0;
}
