#include "common/test_support.h"
#include "engine/attachment_text.h"
#include "platform/child_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>

using OptString = std::optional<QString>;

namespace {

QString u(const char *utf8) { return QString::fromUtf8(utf8); }
const QString kUnreadable = QStringLiteral("[Unable to read file as text]");
const QString kPdfNote = u("[PDF text could not be extracted \xE2\x80\x94 the file may be scanned/image-only or encrypted.]");

AttachedFile attachment(const QString &path, qint64 recordSize = 0)
{
    AttachedFile f;
    f.id = QUuid::createUuid();
    f.fileName = QFileInfo(path).fileName();
    f.filePath = path;
    f.fileType = QFileInfo(path).suffix(); // case kept: the reader lower-cases it
    f.fileSize = recordSize;
    return f;
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A shell script standing in for an external program.
QString writeScript(const QString &path, const QByteArray &body)
{
    writeBytes(path, "#!/bin/sh\n" + body + "\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A small PDF written by hand: one page per entry showing its text in
// Helvetica, or only a drawn line when the entry is empty (a page without a
// text layer, as a scan has).
QByteArray makePdf(const QStringList &pages)
{
    const int n = int(pages.size());
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>"};
    QByteArray kids;
    for (int i = 0; i < n; ++i)
        kids += QByteArray::number(3 + 2 * i) + " 0 R ";
    objects << "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(n) + " >>";
    for (int i = 0; i < n; ++i) {
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 200] /Resources << /Font << /F1 "
                       + QByteArray::number(3 + 2 * n) + " 0 R >> >> /Contents " + QByteArray::number(4 + 2 * i)
                       + " 0 R >>";
        const QByteArray content = pages[i].isEmpty() ? QByteArray("20 20 m 300 150 l S")
                                                      : "BT /F1 18 Tf 20 100 Td (" + pages[i].toLatin1() + ") Tj ET";
        objects << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
    }
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

    QByteArray pdf = "%PDF-1.4\n";
    QByteArray xref = "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (int i = 0; i < objects.size(); ++i) {
        xref += QByteArray::number(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    return pdf + xref + "trailer\n<< /Size " + QByteArray::number(objects.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(pdf.size()) + "\n%%EOF\n";
}

} // namespace

class TestAttachmentText : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*.info=true"));
        QVERIFY(m_dir.isValid());
        for (const QString tool : {"/usr/bin/pandoc", "/usr/bin/pdftotext", "/usr/bin/strings"})
            QVERIFY2(QFileInfo(tool).isExecutable(), qPrintable(tool + " missing: run scripts/install-deps.sh"));
    }

    // Text in its encodings, files that are not text through the real
    // strings(1), and a file without read permission (secret.*).
    void plainAndBinary_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("utf-8, counted in graphemes")
            << "notes.txt" << QByteArray("hi \xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\n") << u("hi \U0001F1E9\U0001F1EA\n")
            << "UTF-8 read: notes.txt (5 chars)";
        QTest::newRow("empty file is text, not a note") << "empty.md" << QByteArray() << QString()
                                                        << "UTF-8 read: empty.md (0 chars)";
        QTest::newRow("invalid utf-8 read as latin-1") << "old.csv" << QByteArray("caf\xE9;na\xEFve\n")
                                                       << u("café;naïve\n") << "Latin-1 read: old.csv (11 chars)";
        QTest::newRow("utf-16 with byte-order mark")
            << "win.txt" << QByteArray("\xFF\xFEh\0i\0", 6) << u("hi") << "UTF-16 read: win.txt (2 chars)";
        QByteArray elf("\x7F" "ELF\x02\x01\x01\0\0\0\0", 11);
        elf += "first printable run" + QByteArray(20, '\0') + "second one\n" + QByteArray("\x01\x02\x03\0", 4);
        QTest::newRow("binary with printable runs")
            << "blob.bin" << elf << u("[Printable text extracted from binary file]\nfirst printable run\nsecond one")
            << "strings(1) read: blob.bin";
        QTest::newRow("binary, nothing printable") << "blob.bin" << QByteArray("\0\x01\x02" "ab\0\xFF\xFE\0", 10)
                                                   << kUnreadable << QString();
        QTest::newRow("no read permission") << "secret.txt" << QByteArray("hidden") << kUnreadable
                                            << "Attachment could not be read: secret.txt";
    }
    void plainAndBinary()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QFETCH(QString, logLine);
        writeBytes(path(name), bytes);
        if (name.startsWith("secret.")) {
            if (::geteuid() == 0)
                QSKIP("the superuser reads any file");
            QFile::setPermissions(path(name), QFileDevice::WriteOwner);
        }
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path(name))), expected);
        QVERIFY2(logLine.isEmpty() || log.contains(logLine), qPrintable(log.lines().join('\n')));
    }

    // The size on disk decides, the target's for a link; the recorded size
    // only when the file is gone.
    void sizeLimit_data()
    {
        QTest::addColumn<qint64>("sizeOnDisk"); // -1: no file at the path
        QTest::addColumn<qint64>("recordSize");
        QTest::addColumn<QString>("expected"); // empty: the file is read
        QTest::newRow("one byte over") << kAttachmentSizeLimit + 1 << qint64(10)
                                       << "[big.txt was skipped: 5.2 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("exactly the limit") << kAttachmentSizeLimit << qint64(999999999) << QString();
        QTest::newRow("gone, record over the limit") << qint64(-1) << qint64(7340032)
                                                     << "[big.txt was skipped: 7.3 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("gone, record small") << qint64(-1) << qint64(100) << kUnreadable;
    }
    void sizeLimit()
    {
        QFETCH(qint64, sizeOnDisk);
        QFETCH(qint64, recordSize);
        QFETCH(QString, expected);
        QFile::remove(path("big.txt"));
        if (sizeOnDisk >= 0) {
            writeBytes(path("target.txt"), QByteArray(sizeOnDisk, 'a'));
            QVERIFY(QFile::link(path("target.txt"), path("big.txt")));
        }
        LogCapture log;
        const QString text = extractAttachmentText(attachment(path("big.txt"), recordSize));
        if (expected.isEmpty()) {
            QCOMPARE(text.size(), sizeOnDisk);
        } else {
            QCOMPARE(text, expected);
            QCOMPARE(log.contains("Attachment skipped, too large: big.txt ("), expected.contains("skipped"));
        }
    }

    // Nothing that could block (a pipe) or is not a file reaches a reader or a tool.
    void notARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        for (const QString kind : {"missing", "folder", "fifo"}) {
            QTest::addRow("%s txt", qPrintable(kind)) << kind << kind + ".txt" << kUnreadable;
            QTest::addRow("%s pdf", qPrintable(kind)) << kind << kind + ".pdf" << kPdfNote;
            QTest::addRow("%s docx", qPrintable(kind))
                << kind << kind + ".docx" << "[Could not convert " + kind + ".docx to text]";
        }
    }
    void notARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString entry = path(name);
        if (kind == "folder") {
            QVERIFY(QDir().mkpath(entry));
        } else if (kind == "fifo") { // reached through a link, as a file picked in a dialog may be
            QVERIFY(::mkfifo(QFile::encodeName(entry + ".fifo").constData(), 0600) == 0);
            QVERIFY(QFile::link(entry + ".fifo", entry));
        }
        AttachmentTextOptions options;
        options.toolLimits.timeoutMs = 3000;
        const QString tool = writeScript(path("tool-" + name), "echo converted");
        options.converters = {{tool, {}, kConvertibleExtensions}};
        options.pdftotextPaths = {tool};
        options.stringsPath = tool;
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(extractAttachmentText(attachment(entry, 1234), options), expected);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY2(log.contains("Attachment is not a readable file: " + name), qPrintable(log.lines().join('\n')));
    }

    void documentsThroughPandoc_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("pandocArguments"); // to make the file from markdown
        QTest::newRow("DOCX in upper case") << "LETTER.DOCX" << QStringList{"-t", "docx"};
        QTest::newRow("html") << "letter.html" << QStringList{"-s", "--metadata", "title=Letter"};
    }
    void documentsThroughPandoc()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, pandocArguments);
        writeBytes(path("letter.md"), "# Greeting\n\nHello *converted* world.\n");
        QFile::remove(path(name));
        QVERIFY(ChildProcess::run("/usr/bin/pandoc", pandocArguments + QStringList{path("letter.md"), "-o", path(name)}, 60000, 1 << 20)
                    .succeeded());
        LogCapture log;
        const QString text = extractAttachmentText(attachment(path(name)));
        QVERIFY2(text.contains(u("Hello converted world.")), qPrintable(text));
        QVERIFY2(log.contains("pandoc read: " + name + " ("), qPrintable(log.lines().join('\n')));
    }

    void converterChain_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<QByteArray>>("scripts"); // one converter each, all for every extension
        QTest::addColumn<QString>("expected");
        QTest::newRow("first non-empty text wins")
            << "memo.doc"
            << QList<QByteArray>{"printf '  \\n'", "echo failing output; exit 3", "echo '  third  '", "echo fourth"}
            << u("third");
        QTest::newRow("none gives text") << "memo.rtf" << QList<QByteArray>{"exit 0", "echo x >&2; exit 1"}
                                         << u("[Could not convert memo.rtf to text]");
        QTest::newRow("standard error not taken") << "memo.doc" << QList<QByteArray>{"echo err >&2; echo out"} << u("out");
        QTest::newRow("killed by a signal") << "memo.doc" << QList<QByteArray>{"echo out; kill -9 $$"}
                                            << u("[Could not convert memo.doc to text]");
        QTest::newRow("output that is not utf-8") << "memo.odt" << QList<QByteArray>{"printf 'caf\\351'"}
                                                  << u("[Could not convert memo.odt to text]");
        QTest::newRow("time limit, SIGTERM ignored") << "slow.docx"
                                                     << QList<QByteArray>{"trap '' TERM; echo partial; exec sleep 60"}
                                                     << u("[Could not convert slow.docx to text]");
        QTest::newRow("no converter at all") << "memo.doc" << QList<QByteArray>{} << u("[Could not convert memo.doc to text]");
    }
    void converterChain()
    {
        QFETCH(QString, name);
        QFETCH(QList<QByteArray>, scripts);
        QFETCH(QString, expected);
        writeBytes(path(name), "document bytes");
        AttachmentTextOptions options;
        options.toolLimits.timeoutMs = 1000;
        options.toolLimits.killGraceMs = 300;
        options.converters.clear();
        for (int i = 0; i < scripts.size(); ++i)
            options.converters.append(
                {writeScript(path(QStringLiteral("conv%1").arg(i)), scripts[i]), {}, kConvertibleExtensions});
        QCOMPARE(extractAttachmentText(attachment(path(name)), options), expected);
    }

    // Each converter is tried only for its own extensions, and gets its
    // arguments followed by the file's absolute path.
    void converterArgumentsAndChoice()
    {
        writeBytes(path("args.rtf"), "{\\rtf1 x}");
        AttachmentTextOptions options;
        options.converters = {
            {writeScript(path("docOnly"), "echo doc-only"), {}, {"doc"}},
            {writeScript(path("echoArgs"), "for a; do echo \"[$a]\"; done"), {"-t", "plain"}, {"rtf"}},
        };
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        const QString text = extractAttachmentText(attachment(QStringLiteral("args.rtf")), options);
        QDir::setCurrent(previous);
        QCOMPARE(text, QStringLiteral("[-t]\n[plain]\n[%1]").arg(path("args.rtf")));
    }

    void pdf_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("pdftotext"); // stand-ins; empty entry: no program at that path
        QTest::addColumn<bool>("realPdftotext");          // the installed one appended to the list
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("logLine");
        const QByteArray textPdf = makePdf({"Hello PDF world", "Second page here"});
        const QByteArray scanned = makePdf({QString(), QString()});
        const QByteArray broken = "%PDF-1.4\nthis is no pdf at all\n";
        QTest::newRow("text layer, upper-case name") << "REPORT.PDF" << textPdf << QList<QByteArray>{"echo never"}
                                                     << false << u("Hello PDF world\nSecond page here")
                                                     << "PDFKit read: REPORT.PDF (32 chars, 2 pages)";
        QTest::newRow("scanned, real pdftotext") << "scan.pdf" << scanned << QList<QByteArray>{""} << true << kPdfNote
                                                 << QString();
        QTest::newRow("broken, real pdftotext") << "broken.pdf" << broken << QList<QByteArray>{} << true << kPdfNote
                                                << QString();
        QTest::newRow("broken, first present pdftotext wins")
            << "broken.pdf" << broken << QList<QByteArray>{"", "echo ' from the tool '", "echo third"} << false
            << u("from the tool") << "pdftotext read: broken.pdf (13 chars)";
        QTest::newRow("broken, pdftotext fails") << "broken.pdf" << broken << QList<QByteArray>{"echo partial; exit 1"}
                                                 << false << kPdfNote << QString();
    }
    void pdf()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, pdftotext);
        QFETCH(bool, realPdftotext);
        QFETCH(QString, expected);
        QFETCH(QString, logLine);
        writeBytes(path(name), bytes);
        AttachmentTextOptions options;
        options.pdftotextPaths.clear();
        for (int i = 0; i < pdftotext.size(); ++i) {
            const QString tool = path(QStringLiteral("pdftotext%1").arg(i));
            QFile::remove(tool);
            if (!pdftotext[i].isEmpty())
                writeScript(tool, pdftotext[i]);
            options.pdftotextPaths << tool;
        }
        if (realPdftotext)
            options.pdftotextPaths << "/usr/bin/pdftotext";
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path(name)), options).trimmed(), expected);
        QVERIFY2(logLine.isEmpty() || log.contains(logLine), qPrintable(log.lines().join('\n')));
    }

    // Output cut at the cap in the middle of a character drops only that character.
    void runToolOutputCap()
    {
        const QString wide = writeScript(path("wide"), "i=0; while [ $i -lt 100 ]; do printf '\\303\\251'; i=$((i+1)); done");
        ToolLimits limits;
        limits.outputCap = 11;
        LogCapture log;
        QCOMPARE(::runTool(wide, {}, limits), OptString(QString(5, QChar(0xE9))));
        QVERIFY(log.contains("Tool output truncated at 11 bytes: " + wide));
    }
};

QTEST_GUILESS_MAIN(TestAttachmentText)
#include "tst_attachment_text.moc"
