#include "common/test_support.h"
#include "engine/attachment_text.h"
#include "platform/pdf_text.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>

using OptString = std::optional<QString>;
Q_DECLARE_METATYPE(OptString)

namespace {

QString u(const char *utf8) { return QString::fromUtf8(utf8); }

const QString kPandoc = QStringLiteral("/usr/bin/pandoc");
const QString kPdftotext = QStringLiteral("/usr/bin/pdftotext");
const QString kStrings = QStringLiteral("/usr/bin/strings");

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
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

// A shell script standing in for an external program.
QString writeScript(const QString &path, const QByteArray &body)
{
    writeBytes(path, "#!/bin/sh\n" + body + "\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A small PDF written by hand: one page per entry, each page showing its
// text in Helvetica, or only a drawn line when the entry is empty (a page
// without a text layer, as a scan has).
QByteArray makePdf(const QStringList &pages)
{
    const int n = int(pages.size());
    const int fontObject = 3 + 2 * n;
    QList<QByteArray> objects;
    objects << "<< /Type /Catalog /Pages 2 0 R >>";
    QByteArray kids;
    for (int i = 0; i < n; ++i)
        kids += QByteArray::number(3 + 2 * i) + " 0 R ";
    objects << "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(n) + " >>";
    for (int i = 0; i < n; ++i) {
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 200] /Resources << /Font << /F1 "
                       + QByteArray::number(fontObject) + " 0 R >> >> /Contents " + QByteArray::number(4 + 2 * i)
                       + " 0 R >>";
        const QByteArray content = pages[i].isEmpty()
            ? QByteArray("20 20 m 300 150 l S")
            : "BT /F1 18 Tf 20 100 Td (" + pages[i].toLatin1() + ") Tj ET";
        objects << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
    }
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
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
        for (const QString &tool : {kPandoc, kPdftotext, kStrings})
            QVERIFY2(QFileInfo(tool).isExecutable(), qPrintable(tool + " missing: run scripts/install-deps.sh"));
    }

    void plainText_data()
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
        QTest::newRow("no extension") << "README" << QByteArray("plain words") << u("plain words")
                                      << "UTF-8 read: README (11 chars)";
        QTest::newRow("utf-16 with byte-order mark")
            << "win.txt" << QByteArray("\xFF\xFEh\0i\0", 6) << u("hi") << "UTF-16 read: win.txt (2 chars)";
    }
    void plainText()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QFETCH(QString, logLine);
        writeBytes(path(name), bytes);
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path(name))), expected);
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
        QVERIFY(!log.contains("strings(1)"));
    }

    void binaryFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QByteArray withStrings("\x7F" "ELF\x02\x01\x01\0\0\0\0", 11);
        withStrings += "first printable run";
        withStrings += QByteArray(20, '\0');
        withStrings += "second one\n";
        withStrings += QByteArray("\x01\x02\x03\0", 4);
        QTest::newRow("printable runs") << withStrings
                                        << u("[Printable text extracted from binary file]\nfirst printable run\nsecond one");
        QTest::newRow("nothing printable") << QByteArray("\0\x01\x02" "ab\0\xFF\xFE\0", 10) << u("[Unable to read file as text]");
    }
    void binaryFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        writeBytes(path("blob.bin"), bytes);
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path("blob.bin"))), expected);
        QCOMPARE(log.contains("strings(1) read: blob.bin"), expected.startsWith("[Printable"));
        QVERIFY(!log.contains("Latin-1 read"));
    }

    void sizeLimit_data()
    {
        QTest::addColumn<qint64>("sizeOnDisk"); // -1: no file at the path
        QTest::addColumn<qint64>("recordSize");
        QTest::addColumn<QString>("expected"); // empty: the file is read

        QTest::newRow("6,000,000 bytes") << qint64(6000000) << qint64(10)
                                         << "[big.txt was skipped: 6 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("one byte over") << kAttachmentSizeLimit + 1 << qint64(0)
                                       << "[big.txt was skipped: 5.2 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("exactly the limit") << kAttachmentSizeLimit << qint64(999999999) << QString();
        QTest::newRow("gone, record over the limit") << qint64(-1) << qint64(7340032)
                                                     << "[big.txt was skipped: 7.3 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("gone, record small") << qint64(-1) << qint64(100) << "[Unable to read file as text]";
    }
    void sizeLimit()
    {
        QFETCH(qint64, sizeOnDisk);
        QFETCH(qint64, recordSize);
        QFETCH(QString, expected);
        const QString file = path("big.txt");
        QFile::remove(file);
        if (sizeOnDisk >= 0)
            writeBytes(file, QByteArray(sizeOnDisk, 'a'));
        LogCapture log;
        const QString text = extractAttachmentText(attachment(file, recordSize));
        if (expected.isEmpty()) {
            QCOMPARE(text.size(), sizeOnDisk);
            QVERIFY(log.contains("UTF-8 read: big.txt (5242880 chars)"));
        } else {
            QCOMPARE(text, expected);
            QCOMPARE(log.contains("Attachment skipped, too large: big.txt ("), expected.contains("skipped"));
        }
    }

    void symlinkSizeIsTheTargets()
    {
        writeBytes(path("target.txt"), QByteArray(kAttachmentSizeLimit + 100, 'b'));
        QFile::remove(path("link.txt"));
        QVERIFY(QFile::link(path("target.txt"), path("link.txt")));
        QCOMPARE(extractAttachmentText(attachment(path("link.txt"), 10)),
                 u("[link.txt was skipped: 5.2 MB exceeds the 5 MB attachment limit]"));
    }

    // Nothing that could block (a pipe) or is not a file is handed to a
    // reader or a tool.
    void notARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        for (const QString &kind : {QStringLiteral("missing"), QStringLiteral("folder"), QStringLiteral("fifo")}) {
            QTest::newRow(qPrintable(kind + " txt")) << kind << kind + ".txt" << u("[Unable to read file as text]");
            QTest::newRow(qPrintable(kind + " pdf")) << kind << kind + ".pdf" << u("[Unable to read file as text]");
            QTest::newRow(qPrintable(kind + " docx"))
                << kind << kind + ".docx" << QStringLiteral("[Could not convert %1.docx to text]").arg(kind);
        }
    }
    void notARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString entry = path(name);
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(entry));
        } else if (kind == QLatin1String("fifo")) {
            // Reached through a link, as a file picked in a dialog may be.
            const QString fifo = path(name + ".fifo");
            QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
            QVERIFY(QFile::link(fifo, entry));
        }
        AttachmentTextOptions options;
        options.toolLimits.timeoutMs = 3000;
        options.converters = {{writeScript(path("conv-" + name), "echo converted"), {}, kConvertibleExtensions}};
        options.pdftotextPaths = {writeScript(path("pdf-" + name), "echo converted")};
        options.stringsPath = writeScript(path("strings-" + name), "echo converted");
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(extractAttachmentText(attachment(entry, 1234), options), expected);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY2(log.contains("Attachment is not a readable file: " + name), qPrintable(log.lines().join('\n')));
    }

    void unreadableFile()
    {
        if (::geteuid() == 0)
            QSKIP("the superuser reads any file");
        writeBytes(path("secret.txt"), "hidden");
        QFile::setPermissions(path("secret.txt"), QFileDevice::WriteOwner);
        QCOMPARE(extractAttachmentText(attachment(path("secret.txt"))), u("[Unable to read file as text]"));
    }

    void documentsThroughPandoc_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("pandocArguments"); // to make the file from markdown

        QTest::newRow("docx") << "letter.docx" << QStringList();
        QTest::newRow("DOCX in upper case") << "LETTER.DOCX" << QStringList{"-t", "docx"};
        QTest::newRow("odt") << "letter.odt" << QStringList();
        QTest::newRow("html") << "letter.html" << QStringList{"-s", "--metadata", "title=Letter"};
        QTest::newRow("htm") << "letter.htm" << QStringList{"-s", "-t", "html", "--metadata", "title=Letter"};
        QTest::newRow("rtf") << "letter.rtf" << QStringList{"-s"};
    }
    void documentsThroughPandoc()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, pandocArguments);
        writeBytes(path("letter.md"), "# Greeting\n\nHello *converted* world.\n");
        QFile::remove(path(name));
        const int made = QProcess::execute(kPandoc, pandocArguments + QStringList{path("letter.md"), "-o", path(name)});
        QCOMPARE(made, 0);

        LogCapture log;
        const QString text = extractAttachmentText(attachment(path(name)));
        QVERIFY2(text.contains(u("Hello converted world.")), qPrintable(text));
        QVERIFY(!text.contains('*'));
        QVERIFY2(log.contains("pandoc read: " + name + " ("), qPrintable(log.lines().join('\n')));
    }

    void converterChain_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<QByteArray>>("scripts"); // one converter each, all for every extension
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("first non-empty text wins")
            << "memo.doc"
            << QList<QByteArray>{"printf '  \\n'", "echo failing output; exit 3", "echo '  third text  '",
                                 "echo fourth"}
            << u("third text") << "conv2 read: memo.doc (10 chars)";
        QTest::newRow("none gives text") << "memo.rtf" << QList<QByteArray>{"exit 0", "echo x >&2; exit 1"}
                                         << u("[Could not convert memo.rtf to text]") << QString();
        QTest::newRow("output that is not utf-8") << "memo.odt" << QList<QByteArray>{"printf 'caf\\351'"}
                                                  << u("[Could not convert memo.odt to text]") << QString();
        QTest::newRow("no converter at all") << "memo.doc" << QList<QByteArray>{}
                                             << u("[Could not convert memo.doc to text]") << QString();
    }
    void converterChain()
    {
        QFETCH(QString, name);
        QFETCH(QList<QByteArray>, scripts);
        QFETCH(QString, expected);
        QFETCH(QString, logLine);
        writeBytes(path(name), "document bytes");
        AttachmentTextOptions options;
        options.converters.clear();
        for (int i = 0; i < scripts.size(); ++i)
            options.converters.append({writeScript(path(QStringLiteral("conv%1").arg(i)), scripts[i]),
                                       {},
                                       kConvertibleExtensions});
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path(name)), options), expected);
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
    }

    void converterArgumentsAndChoice()
    {
        // Each converter is tried only for its own extensions, and gets its
        // arguments followed by the file's absolute path.
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

        // Bundles without a converter on this platform.
        for (const QString &name : {QStringLiteral("page.webarchive"), QStringLiteral("notes.rtfd")}) {
            writeBytes(path(name), "bytes");
            options.converters = {{writeScript(path("any"), "echo any"), {}, {"doc", "rtf", "docx"}}};
            QCOMPARE(extractAttachmentText(attachment(path(name)), options), couldNotConvertNote(name));
        }
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
        const QString note = QString::fromUtf8(kPdfNoTextNote);

        QTest::newRow("text layer") << "report.pdf" << textPdf << QList<QByteArray>{} << false
                                    << u("Hello PDF world\nSecond page here") << "PDFKit read: report.pdf (";
        QTest::newRow("PDF in upper case") << "REPORT.PDF" << textPdf << QList<QByteArray>{"echo never"} << false
                                           << u("Hello PDF world\nSecond page here") << "2 pages)";
        QTest::newRow("scanned, no pdftotext") << "scan.pdf" << scanned << QList<QByteArray>{""} << false << note
                                               << QString();
        QTest::newRow("scanned, real pdftotext") << "scan.pdf" << scanned << QList<QByteArray>{""} << true << note
                                                 << QString();
        QTest::newRow("broken, real pdftotext") << "broken.pdf" << broken << QList<QByteArray>{} << true << note
                                                << QString();
        QTest::newRow("broken, second pdftotext reads it")
            << "broken.pdf" << broken << QList<QByteArray>{"", "echo ' from the tool '"} << false
            << u("from the tool") << "pdftotext read: broken.pdf (13 chars)";
        QTest::newRow("broken, first pdftotext wins")
            << "broken.pdf" << broken << QList<QByteArray>{"echo first", "echo second"} << false << u("first")
            << "pdftotext read: broken.pdf (5 chars)";
        QTest::newRow("broken, pdftotext fails") << "broken.pdf" << broken
                                                 << QList<QByteArray>{"echo partial; exit 1"} << false << note
                                                 << QString();
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
                writeScript(tool, pdftotext[i] + " # " + QByteArray::number(i));
            options.pdftotextPaths << tool;
        }
        if (realPdftotext)
            options.pdftotextPaths << kPdftotext;
        LogCapture log;
        QCOMPARE(extractAttachmentText(attachment(path(name)), options).trimmed(), expected);
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
    }

    void pdfReader()
    {
        writeBytes(path("three.pdf"), makePdf({"One", QString(), "Three"}));
        const std::optional<PdfText> pdf = readPdfText(path("three.pdf"));
        QVERIFY(pdf);
        QCOMPARE(pdf->pageCount, 3);
        QCOMPARE(pdf->text.split('\n', Qt::SkipEmptyParts), (QStringList{"One", "Three"}));

        for (const QByteArray &bad : {QByteArray(), QByteArray("%PDF-1.7\n%%EOF\n"), QByteArray(4096, '\xAB')}) {
            writeBytes(path("bad.pdf"), bad);
            QVERIFY(!readPdfText(path("bad.pdf")));
        }
        QVERIFY(!readPdfText(path("no-such.pdf")));
    }

    void runTool_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no file at the tool path
        QTest::addColumn<bool>("executable");
        QTest::addColumn<OptString>("expected");

        QTest::newRow("trimmed output") << QByteArray("printf '\\n\\t text here \\n\\n'") << true
                                        << OptString(u("text here"));
        QTest::newRow("standard error ignored") << QByteArray("echo out; echo err >&2") << true << OptString(u("out"));
        QTest::newRow("non-zero exit") << QByteArray("echo out; exit 2") << true << OptString();
        QTest::newRow("killed by a signal") << QByteArray("echo out; kill -9 $$") << true << OptString();
        QTest::newRow("no output") << QByteArray("true") << true << OptString();
        QTest::newRow("only whitespace") << QByteArray("echo '   '") << true << OptString(u(""));
        QTest::newRow("not utf-8") << QByteArray("printf 'a\\377b'") << true << OptString();
        QTest::newRow("not executable") << QByteArray("echo out") << false << OptString();
        QTest::newRow("missing") << QByteArray() << true << OptString();
    }
    void runTool()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, executable);
        QFETCH(OptString, expected);
        const QString tool = path("tool");
        QFile::remove(tool);
        if (!script.isEmpty())
            writeScript(tool, script);
        if (!executable)
            QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(::runTool(tool, {}), expected);
        QVERIFY(!::runTool(m_dir.path(), {})); // a folder is no tool
    }

    void runToolTimeLimit_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("hangs") << QByteArray("echo partial; exec sleep 60");
        QTest::newRow("ignores SIGTERM") << QByteArray("trap '' TERM; echo partial; exec sleep 60");
    }
    void runToolTimeLimit()
    {
        QFETCH(QByteArray, script);
        const QString tool = writeScript(path("hang"), script);
        ToolLimits limits;
        limits.timeoutMs = 300;
        limits.killGraceMs = 300;
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(::runTool(tool, {}, limits), OptString());
        QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(log.contains("Tool timed out: " + tool));

        // As a converter: the note, after the limit.
        writeBytes(path("slow.docx"), "x");
        AttachmentTextOptions options;
        options.toolLimits = limits;
        options.converters = {{tool, {}, {"docx"}}};
        QCOMPARE(extractAttachmentText(attachment(path("slow.docx")), options), u("[Could not convert slow.docx to text]"));
    }

    void runToolOutputCap()
    {
        // The real cap: 20 MB printed, the first 8 MiB kept.
        const QString big = writeScript(path("big"), "head -c 20000000 /dev/zero | tr '\\0' 'a'");
        LogCapture log;
        const OptString text = ::runTool(big, {});
        QVERIFY(text);
        QCOMPARE(text->size(), kToolOutputCap);
        QVERIFY(text->startsWith("aaaa"));
        QVERIFY(log.contains("Tool output truncated at 8388608 bytes: " + big));

        // A cut in the middle of a character drops only that character.
        const QString wide = writeScript(path("wide"), "i=0; while [ $i -lt 100 ]; do printf '\\303\\251'; i=$((i+1)); done");
        ToolLimits limits;
        limits.outputCap = 11;
        QCOMPARE(::runTool(wide, {}, limits), OptString(QString(5, QChar(0xE9))));
        limits.outputCap = 200;
        QCOMPARE(::runTool(wide, {}, limits), OptString(QString(100, QChar(0xE9))));
    }

    void notes()
    {
        QCOMPARE(skippedAttachmentNote("a b.pdf", 6000000), u("[a b.pdf was skipped: 6 MB exceeds the 5 MB attachment limit]"));
        QCOMPARE(couldNotConvertNote("x.doc"), u("[Could not convert x.doc to text]"));
        QCOMPARE(u(kPdfNoTextNote),
                 u("[PDF text could not be extracted \xE2\x80\x94 the file may be scanned/image-only or encrypted.]"));
        QCOMPARE(kAttachmentSizeLimit, qint64(5242880));
        QCOMPARE(kToolOutputCap, qsizetype(8388608));
    }
};

QTEST_GUILESS_MAIN(TestAttachmentText)
#include "tst_attachment_text.moc"
