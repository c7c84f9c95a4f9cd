#include "engine/attachment_text.h"

#include "engine/prompt_assembly.h"
#include "platform/byte_count.h"
#include "platform/child_process.h"
#include "platform/logging.h"
#include "platform/pdf_text.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Strict UTF-8: nothing when the bytes hold an invalid sequence. A leading
// byte-order mark is dropped.
std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Drops a multi-byte UTF-8 sequence that a cut at the output cap left
// incomplete at the end, so that the bytes before it still decode.
void dropIncompleteUtf8Tail(QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(size - back));
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: look further back for the lead
        const int needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (needed > back)
            bytes.chop(back);
        return;
    }
}

bool isExecutableFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    return ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(native.constData(), X_OK) == 0;
}

// Reads a regular file, at most maxBytes of it. Opening does not block on a
// pipe or device that took the file's place since it was examined; such an
// entry is refused.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxBytes, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = QStringLiteral("not a regular file");
        ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(std::min<qint64>(st.st_size, maxBytes)));
    char buffer[64 * 1024];
    while (bytes.size() < maxBytes) {
        const auto wanted = size_t(std::min<qint64>(sizeof buffer, maxBytes - bytes.size()));
        const ssize_t n = ::read(fd, buffer, wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

// Tools get the path made absolute, so that a name starting with "-" is
// never taken for an option.
QString toolArgumentPath(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

QString programName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QString convertDocument(const AttachedFile &file, const QString &ext, const QString &path,
                        const AttachmentTextOptions &options)
{
    for (const DocumentConverter &converter : options.converters) {
        if (!converter.extensions.contains(ext))
            continue;
        const auto text = runTool(converter.program, converter.arguments + QStringList{path}, options.toolLimits);
        if (text && !text->isEmpty()) {
            qCInfo(lcLlamaCPP, "%s read: %s (%ld chars)", qPrintable(programName(converter.program)),
                   qPrintable(file.fileName), long(graphemeCount(*text)));
            return *text;
        }
    }
    return couldNotConvertNote(file.fileName);
}

QString pdfText(const AttachedFile &file, const QString &path, const AttachmentTextOptions &options)
{
    if (const auto pdf = readPdfText(path); pdf && !pdf->text.trimmed().isEmpty()) {
        qCInfo(lcLlamaCPP, "PDFKit read: %s (%ld chars, %ld pages)", qPrintable(file.fileName),
               long(graphemeCount(pdf->text)), long(pdf->pageCount));
        return pdf->text;
    }
    for (const QString &tool : options.pdftotextPaths) {
        const auto text = runTool(tool, {path, QStringLiteral("-")}, options.toolLimits);
        if (text && !text->isEmpty()) {
            qCInfo(lcLlamaCPP, "pdftotext read: %s (%ld chars)", qPrintable(file.fileName),
                   long(graphemeCount(*text)));
            return *text;
        }
    }
    return QString::fromUtf8(kPdfNoTextNote);
}

// A text file holds no NUL byte; one that does (an executable, an image, an
// archive) is not read as text but searched for printable strings.
QString plainText(const AttachedFile &file, const QString &path, const AttachmentTextOptions &options)
{
    QString error;
    const std::optional<QByteArray> bytes = readRegularFile(path, kAttachmentSizeLimit, &error);
    if (!bytes) {
        qCInfo(lcLlamaCPP, "Attachment could not be read: %s (%s)", qPrintable(file.fileName), qPrintable(error));
    } else if (bytes->startsWith("\xFF\xFE") || bytes->startsWith("\xFE\xFF")) {
        // UTF-16 with a byte-order mark, as some editors save text.
        QStringDecoder decoder(QStringDecoder::Utf16, QStringDecoder::Flag::Stateless);
        const QString text = decoder(*bytes);
        if (!decoder.hasError()) {
            qCInfo(lcLlamaCPP, "UTF-16 read: %s (%ld chars)", qPrintable(file.fileName), long(graphemeCount(text)));
            return text;
        }
    } else if (!bytes->contains('\0')) {
        if (const auto text = decodeUtf8(*bytes)) {
            qCInfo(lcLlamaCPP, "UTF-8 read: %s (%ld chars)", qPrintable(file.fileName), long(graphemeCount(*text)));
            return *text;
        }
        const QString text = QString::fromLatin1(*bytes);
        qCInfo(lcLlamaCPP, "Latin-1 read: %s (%ld chars)", qPrintable(file.fileName), long(graphemeCount(text)));
        return text;
    }

    const auto text = runTool(options.stringsPath, {path}, options.toolLimits);
    if (text && !text->isEmpty()) {
        qCInfo(lcLlamaCPP, "strings(1) read: %s (%ld chars)", qPrintable(file.fileName), long(graphemeCount(*text)));
        return QString::fromUtf8(kBinaryTextPrefix) + *text;
    }
    return QString::fromUtf8(kUnreadableNote);
}

} // namespace

QString skippedAttachmentNote(const QString &fileName, qint64 size)
{
    return QStringLiteral("[") + fileName + QStringLiteral(" was skipped: ") + formatByteCount(size)
        + QStringLiteral(" exceeds the ") + QString::fromUtf8(kAttachmentLimitText)
        + QStringLiteral(" attachment limit]");
}

QString couldNotConvertNote(const QString &fileName)
{
    return QStringLiteral("[Could not convert ") + fileName + QStringLiteral(" to text]");
}

QList<DocumentConverter> defaultDocumentConverters()
{
    return {
        {QStringLiteral("/usr/bin/pandoc"),
         {QStringLiteral("-t"), QStringLiteral("plain"), QStringLiteral("--wrap=none")},
         {QStringLiteral("docx"), QStringLiteral("odt"), QStringLiteral("html"), QStringLiteral("htm"),
          QStringLiteral("rtf")}},
        {QStringLiteral("/usr/bin/antiword"), {}, {QStringLiteral("doc")}},
        {QStringLiteral("/usr/bin/catdoc"), {}, {QStringLiteral("doc"), QStringLiteral("rtf")}},
    };
}

std::optional<QString> runTool(const QString &toolPath, const QStringList &arguments, const ToolLimits &limits)
{
    if (!isExecutableFile(toolPath))
        return std::nullopt;

    ChildProcess::Result result =
        ChildProcess::run(toolPath, arguments, limits.timeoutMs, limits.outputCap, limits.killGraceMs);
    if (!result.started) {
        qCInfo(lcLlamaCPP, "Tool could not be started: %s", qPrintable(result.error));
        return std::nullopt;
    }
    if (result.timedOut) {
        qCInfo(lcLlamaCPP, "Tool timed out: %s", qPrintable(toolPath));
        return std::nullopt;
    }
    if (result.outputTruncated) {
        qCInfo(lcLlamaCPP, "Tool output truncated at %ld bytes: %s", long(limits.outputCap), qPrintable(toolPath));
        dropIncompleteUtf8Tail(result.standardOutput);
    }
    if (!result.succeeded() || result.standardOutput.isEmpty())
        return std::nullopt;
    const auto text = decodeUtf8(result.standardOutput);
    if (!text)
        return std::nullopt;
    return text->trimmed();
}

QString extractAttachmentText(const AttachedFile &file, const AttachmentTextOptions &options)
{
    const QString ext = file.fileType.toLower();
    const QString path = toolArgumentPath(file.filePath);

    // The size of what the path leads to (a link is followed), else what the
    // record says.
    struct stat st {};
    const bool examined = !file.filePath.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0;
    const int statError = file.filePath.isEmpty() ? ENOENT : errno;
    const qint64 size = examined ? qint64(st.st_size) : file.fileSize;
    if (size > kAttachmentSizeLimit) {
        qCInfo(lcLlamaCPP, "Attachment skipped, too large: %s (%s)", qPrintable(file.fileName),
               qPrintable(formatByteCount(size)));
        return skippedAttachmentNote(file.fileName, size);
    }

    const bool convertible = kConvertibleExtensions.contains(ext);
    // A missing file, a folder, a pipe or a device: nothing to read, and a
    // pipe or device could block a reader indefinitely.
    if (!examined || !S_ISREG(st.st_mode)) {
        qCInfo(lcLlamaCPP, "Attachment is not a readable file: %s (%s)", qPrintable(file.fileName),
               examined ? "not a regular file" : qPrintable(QString::fromLocal8Bit(std::strerror(statError))));
        if (convertible)
            return couldNotConvertNote(file.fileName);
        return QString::fromUtf8(ext == QLatin1String("pdf") ? kPdfNoTextNote : kUnreadableNote);
    }

    if (convertible)
        return convertDocument(file, ext, path, options);
    if (ext == QLatin1String("pdf"))
        return pdfText(file, path, options);
    return plainText(file, path, options);
}
