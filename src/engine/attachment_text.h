#pragma once

#include "core/records.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Turning attached files into prompt text. Files are read where they lie;
// nothing is copied or cached. Text documents are read directly, PDFs through
// poppler and then pdftotext, word-processor and web formats through external
// converters, and files that are not text through strings(1). Every call
// returns some text: the file's own, or a bracketed note saying why there is
// none.

// Files larger than this are not read (a file of exactly this size is). The
// composer refuses larger files with the same limit.
inline constexpr qint64 kAttachmentSizeLimit = 5 * 1024 * 1024;
// How the limit is named in notes and alerts.
inline constexpr const char *kAttachmentLimitText = "5 MB";

// Standard output kept from one tool run.
inline constexpr qsizetype kToolOutputCap = 8 * 1024 * 1024;
// How long one tool run may take before it is asked to stop (SIGTERM).
inline constexpr int kToolTimeoutMs = 30 * 1000;
// How long a tool that ignores SIGTERM is given before it is killed.
inline constexpr int kToolKillGraceMs = 5 * 1000;

// Extensions handled by a document converter (lower case).
inline const QStringList kConvertibleExtensions = {
    QStringLiteral("doc"),  QStringLiteral("docx"), QStringLiteral("rtf"), QStringLiteral("rtfd"),
    QStringLiteral("odt"),  QStringLiteral("html"), QStringLiteral("htm"), QStringLiteral("webarchive"),
};

// The notes returned in place of text.
QString skippedAttachmentNote(const QString &fileName, qint64 size);
QString couldNotConvertNote(const QString &fileName);
inline constexpr const char *kPdfNoTextNote =
    "[PDF text could not be extracted \u2014 the file may be scanned/image-only or encrypted.]";
inline constexpr const char *kBinaryTextPrefix = "[Printable text extracted from binary file]\n";
inline constexpr const char *kUnreadableNote = "[Unable to read file as text]";

struct ToolLimits {
    int timeoutMs = kToolTimeoutMs;
    qsizetype outputCap = kToolOutputCap;
    int killGraceMs = kToolKillGraceMs;
};

// One external converter: the program, the arguments that precede the file's
// path, and the extensions it is tried for.
struct DocumentConverter {
    QString program;
    QStringList arguments;
    QStringList extensions;
};

// The converters in the order they are tried; the first that gives a
// non-empty text wins.
QList<DocumentConverter> defaultDocumentConverters();

// Where the external programs are and how long they may run. The application
// uses the defaults; tests point them at stand-ins.
struct AttachmentTextOptions {
    QList<DocumentConverter> converters = defaultDocumentConverters();
    QStringList pdftotextPaths = {QStringLiteral("/usr/local/bin/pdftotext"),
                                  QStringLiteral("/usr/bin/pdftotext")};
    QString stringsPath = QStringLiteral("/usr/bin/strings");
    ToolLimits toolLimits;
};

// Runs a tool to its end, the standard input on the null device, and returns
// its standard output decoded as UTF-8 and trimmed. Nothing when the path is
// not an executable file, the tool cannot be started, runs past the time
// limit (it is then terminated), exits with a status other than 0, prints
// nothing or prints something that is not UTF-8. Output past the cap is
// dropped (logged). Blocks the calling thread: normally at most the time
// limit plus five seconds for the output still in the pipes.
std::optional<QString> runTool(const QString &toolPath, const QStringList &arguments,
                               const ToolLimits &limits = {});

// The text of one attached file, or a note saying why there is none. Blocks
// the calling thread while external tools run.
QString extractAttachmentText(const AttachedFile &file, const AttachmentTextOptions &options = {});
