#include "common/test_support.h"
#include "engine/attachment_text.h"
#include "platform/child_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
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
    // the extension's case kept: the reader lower-cases it
    return AttachedFile{QUuid::createUuid(), QFileInfo(path).fileName(), path, QFileInfo(path).suffix(), recordSize};
}

// A shell script standing in for an external program.
QString writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write("#!/bin/sh\n" + body + "\n") < 0)
        qFatal("cannot write %s", qPrintable(path));
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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
    TempHome m_home;
    QString path(const QString &name) const { return m_home.home() + u'/' + name; }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*.info=true"));
    }

    // Text in its encodings, files that are not text through the real
    // strings(1), and a file without read permission (secret.*).
    void plainAndBinary_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("utf-8") << "notes.txt" << QByteArray("hi \xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\n")
                               << u("hi \U0001F1E9\U0001F1EA\n");
        QTest::newRow("empty file is text, not a note") << "empty.md" << QByteArray() << QString();
        QTest::newRow("invalid utf-8 read as latin-1") << "old.csv" << QByteArray("caf\xE9;na\xEFve\n")
                                                       << u("café;naïve\n");
        QTest::newRow("utf-16 with byte-order mark") << "win.txt" << QByteArray("\xFF\xFEh\0i\0", 6) << u("hi");
        QByteArray elf("\x7F" "ELF\x02\x01\x01\0\0\0\0", 11);
        elf += "first printable run" + QByteArray(20, '\0') + "second one\n" + QByteArray("\x01\x02\x03\0", 4);
        QTest::newRow("binary with printable runs")
            << "blob.bin" << elf << u("[Printable text extracted from binary file]\nfirst printable run\nsecond one");
        QTest::newRow("binary, nothing printable") << "blob.bin" << QByteArray("\0\x01\x02" "ab\0\xFF\xFE\0", 10)
                                                   << kUnreadable;
        QTest::newRow("no read permission") << "secret.txt" << QByteArray("hidden") << kUnreadable;
    }
    void plainAndBinary()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        m_home.writeFile(path(name), bytes);
        if (name.startsWith("secret.")) {
            if (::geteuid() == 0)
                QSKIP("the superuser reads any file");
            QFile::setPermissions(path(name), QFileDevice::WriteOwner);
        }
        QCOMPARE(extractAttachmentText(attachment(path(name))), expected);
    }

    // What the path leads to decides: its size on disk (the target's for a
    // link; the recorded size only when it is gone). Nothing that could block
    // (a pipe) or is not a file reaches a reader or a tool.
    void entries_data()
    {
        QTest::addColumn<QString>("kind"); // link (to a file of sizeOnDisk bytes), missing, folder, fifo
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("sizeOnDisk");
        QTest::addColumn<qint64>("recordSize");
        QTest::addColumn<QString>("expected"); // empty: the file is read
        QTest::newRow("one byte over") << "link" << "big.txt" << kAttachmentSizeLimit + 1 << qint64(10)
                                       << "[big.txt was skipped: 5.2 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("exactly the limit") << "link" << "limit.txt" << kAttachmentSizeLimit << qint64(999999999)
                                           << QString();
        QTest::newRow("gone, record over the limit")
            << "missing" << "gone.txt" << qint64(-1) << qint64(7340032)
            << "[gone.txt was skipped: 7.3 MB exceeds the 5 MB attachment limit]";
        QTest::newRow("gone, record small") << "missing" << "missing.txt" << qint64(-1) << qint64(100) << kUnreadable;
        QTest::newRow("folder pdf") << "folder" << "folder.pdf" << qint64(-1) << qint64(1234) << kPdfNote;
        QTest::newRow("fifo docx") << "fifo" << "fifo.docx" << qint64(-1) << qint64(1234)
                                   << "[Could not convert fifo.docx to text]";
    }
    void entries()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(qint64, sizeOnDisk);
        QFETCH(qint64, recordSize);
        QFETCH(QString, expected);
        const QString entry = path(name);
        if (kind == "link") {
            m_home.writeFile(entry + ".target", QByteArray(sizeOnDisk, 'a'));
            QVERIFY(QFile::link(entry + ".target", entry));
        } else if (kind == "folder") {
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
        QElapsedTimer timer;
        timer.start();
        const QString text = extractAttachmentText(attachment(entry, recordSize), options);
        QVERIFY(timer.elapsed() < 2000);
        QCOMPARE(text, expected.isEmpty() ? QString(sizeOnDisk, u'a') : expected);
    }

    // The real pandoc, found by its upper-case extension.
    void documentThroughPandoc()
    {
        m_home.writeFile(path("letter.md"), "# Greeting\n\nHello *converted* world.\n");
        const QStringList toDocx = {"-t", "docx", path("letter.md"), "-o", path("LETTER.DOCX")};
        QVERIFY(ChildProcess::run("/usr/bin/pandoc", toDocx, 60000, 1 << 20).succeeded());
        LogCapture log;
        const QString text = extractAttachmentText(attachment(path("LETTER.DOCX")));
        QVERIFY2(text.contains(u("Hello converted world.")), qPrintable(text));
        QVERIFY2(log.contains("pandoc read: LETTER.DOCX ("), qPrintable(log.lines().join('\n')));
    }

    // Stand-ins for the converters and pdftotext, tried in order.
    void toolChains_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("tools"); // a script each; "": no program there; "/...": that program
        QTest::addColumn<QString>("expected");
        const QByteArray doc = "document bytes";
        const auto converter = [&](const char *row, const QString &name, const QList<QByteArray> &tools,
                                   const QString &expected) {
            QTest::newRow(row) << name << doc << tools << expected;
        };
        converter("first non-empty text wins", "memo.doc",
                  {"printf '  \\n'", "echo failing output; exit 3", "echo '  third  '", "echo fourth"}, u("third"));
        converter("none gives text", "memo.rtf", {"exit 0", "echo x >&2; exit 1"},
                  u("[Could not convert memo.rtf to text]"));
        converter("standard error not taken", "memo.doc", {"echo err >&2; echo out"}, u("out"));
        converter("killed by a signal", "memo.doc", {"echo out; kill -9 $$"}, u("[Could not convert memo.doc to text]"));
        converter("output that is not utf-8", "memo.odt", {"printf 'caf\\351'"}, u("[Could not convert memo.odt to text]"));
        converter("time limit, SIGTERM ignored", "slow.docx", {"trap '' TERM; echo partial; exec sleep 60"},
                  u("[Could not convert slow.docx to text]"));
        converter("no converter at all", "memo.doc", {}, u("[Could not convert memo.doc to text]"));

        const QByteArray broken = "%PDF-1.4\nthis is no pdf at all\n";
        QTest::newRow("text layer, upper-case name")
            << "REPORT.PDF" << makePdf({"Hello PDF world", "Second page here"}) << QList<QByteArray>{"echo never"}
            << u("Hello PDF world\nSecond page here");
        QTest::newRow("scanned, real pdftotext") << "scan.pdf" << makePdf({QString(), QString()})
                                                 << QList<QByteArray>{"", "/usr/bin/pdftotext"} << kPdfNote;
        QTest::newRow("broken, real pdftotext") << "broken.pdf" << broken << QList<QByteArray>{"/usr/bin/pdftotext"}
                                                << kPdfNote;
        QTest::newRow("broken, first present pdftotext wins")
            << "broken.pdf" << broken << QList<QByteArray>{"", "echo ' from the tool '", "echo third"}
            << u("from the tool");
        QTest::newRow("broken, pdftotext fails") << "broken.pdf" << broken << QList<QByteArray>{"echo partial; exit 1"}
                                                 << kPdfNote;
    }
    void toolChains()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, tools);
        QFETCH(QString, expected);
        m_home.writeFile(path(name), bytes);
        AttachmentTextOptions options;
        options.toolLimits.timeoutMs = 1000;
        options.toolLimits.killGraceMs = 300;
        options.converters.clear();
        options.pdftotextPaths.clear();
        for (int i = 0; i < tools.size(); ++i) {
            QString tool = path(QStringLiteral("tool%1").arg(i));
            QFile::remove(tool);
            if (tools[i].startsWith('/'))
                tool = QString::fromUtf8(tools[i]);
            else if (!tools[i].isEmpty())
                writeScript(tool, tools[i]);
            options.converters.append({tool, {}, kConvertibleExtensions});
            options.pdftotextPaths << tool;
        }
        QCOMPARE(extractAttachmentText(attachment(path(name)), options), expected);
    }

    // Each converter is tried only for its own extensions, and gets its
    // arguments followed by the file's absolute path.
    void converterArgumentsAndChoice()
    {
        m_home.writeFile(path("args.rtf"), "{\\rtf1 x}");
        AttachmentTextOptions options;
        options.converters = {
            {writeScript(path("docOnly"), "echo doc-only"), {}, {"doc"}},
            {writeScript(path("echoArgs"), "for a; do echo \"[$a]\"; done"), {"-t", "plain"}, {"rtf"}},
        };
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_home.home());
        const QString text = extractAttachmentText(attachment(QStringLiteral("args.rtf")), options);
        QDir::setCurrent(previous);
        QCOMPARE(text, QStringLiteral("[-t]\n[plain]\n[%1]").arg(path("args.rtf")));
    }

    // Output cut at the cap in the middle of a character drops only that character.
    void runToolOutputCap()
    {
        const QString wide = writeScript(path("wide"), "i=0; while [ $i -lt 100 ]; do printf '\\303\\251'; i=$((i+1)); done");
        ToolLimits limits;
        limits.outputCap = 11;
        QCOMPARE(::runTool(wide, {}, limits), OptString(QString(5, QChar(0xE9))));
    }
};

QTEST_GUILESS_MAIN(TestAttachmentText)
#include "tst_attachment_text.moc"
