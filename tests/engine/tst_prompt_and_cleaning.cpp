#include "common/test_support.h"
#include "engine/prompt_assembly.h"
#include "engine/reply_trim.h"
#include "engine/response_cleaning.h"

#include <QTest>

#include <optional>

using OptString = std::optional<QString>;
Q_DECLARE_METATYPE(OptString)

namespace {

QString u(const char *utf8) { return QString::fromUtf8(utf8); }

AttachedFile file(const QString &name, const QString &type)
{
    AttachedFile f;
    f.id = QUuid::createUuid();
    f.fileName = name;
    f.filePath = QStringLiteral("/tmp/") + name;
    f.fileType = type;
    return f;
}

ChatMessage msg(const QString &content, bool fromUser, std::optional<QList<AttachedFile>> files = std::nullopt)
{
    return ChatMessage::make(content, fromUser, std::move(files));
}

// Stands in for attachment extraction and records which files were read.
struct FakeExtractor {
    QStringList calls;
    AttachmentTextFunction fn()
    {
        return [this](const AttachedFile &f) {
            calls << f.fileName;
            return QStringLiteral("<text of ") + f.fileName + u'>';
        };
    }
};

// 20 distinct ASCII characters, repeated; every position differs from its
// neighbours so that a cut one character off shows.
QString asciiRun(qsizetype n)
{
    QString s;
    s.reserve(n);
    for (qsizetype i = 0; i < n; ++i)
        s += QChar(char16_t(u'a' + i % 20));
    return s;
}

} // namespace

class TestPromptAndCleaning : public QObject {
    Q_OBJECT

private slots:
    void replyTrim_data();
    void replyTrim();
    void cleanResponse_data();
    void cleanResponse();
    void systemSection_data();
    void systemSection();
    void budgetCuts_data();
    void budgetCuts();
    void budgetCutKeepsClustersWhole_data();
    void budgetCutKeepsClustersWhole();
    void transcript_data();
    void transcript();
    void onlyNewestUserMessageIsRead();
};

void TestPromptAndCleaning::replyTrim_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("both");
    QTest::addColumn<QString>("start");

    QTest::newRow("plain") << u("  \n\tHi there \r\n") << u("Hi there") << u("Hi there \r\n");
    QTest::newRow("invisible format characters")
        << u("\u200B\u200C\u200D\uFEFF\u00AD\u2060Hi\u2060\u00AD\uFEFF\u200D\u200C\u200B") << u("Hi")
        << u("Hi\u2060\u00AD\uFEFF\u200D\u200C\u200B");
    QTest::newRow("inside kept") << u(" a\u200Bb\u00ADc ") << u("a\u200Bb\u00ADc") << u("a\u200Bb\u00ADc ");
    QTest::newRow("unicode spaces") << u("\u00A0\u3000\u2028\u0085x\u2029\u202F") << u("x") << u("x\u2029\u202F");
    QTest::newRow("emoji at ends kept") << u("\u200B😀 ok 👍\u200D") << u("😀 ok 👍") << u("😀 ok 👍\u200D");
    QTest::newRow("only trimmable") << u(" \u200B\n\uFEFF") << QString() << QString();
    QTest::newRow("empty") << QString() << QString() << QString();
    QTest::newRow("other format character stays") << u("\u200Ex\u200E") << u("\u200Ex\u200E") << u("\u200Ex\u200E");
}

void TestPromptAndCleaning::replyTrim()
{
    QFETCH(QString, input);
    QFETCH(QString, both);
    QFETCH(QString, start);
    QCOMPARE(trimReply(input), both);
    QCOMPARE(trimReplyStart(input), start);
}

void TestPromptAndCleaning::cleanResponse_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("cleaned");

    // 1. echoed user turn
    QTest::newRow("echo") << u("User: hi\n\nAssistant: Hello") << u("Hello");
    QTest::newRow("echo, label in lower case") << u("User: hi\n\nassistant: Hello") << u("Hello");
    QTest::newRow("echo, short label") << u("User: hi\n\nA: Hello") << u("Hello");
    QTest::newRow("echo, short label lower case not matched")
        << u("User: hi\n\na: Hello") << u("hi\n\na: Hello");
    QTest::newRow("echo, first assistant label wins")
        << u("User: q\n\nA: one\n\nAssistant: two") << u("two");
    QTest::newRow("no user label at start keeps assistant label")
        << u("Sure.\n\nAssistant: more") << u("Sure.\n\nAssistant: more");
    // 2. end-of-input notice
    QTest::newRow("eof notice") << u("Hello\n> EOF by user\nleft over") << u("Hello");
    QTest::newRow("eof notice in capitals") << u("Hello\n> EOF BY USER") << u("Hello");
    QTest::newRow("eof notice without line break") << u("Hello > eof by user") << u("Hello");
    QTest::newRow("echo cut before eof search")
        << u("User: a\n> EOF by user\n\nAssistant: b") << u("b");
    // 3. end tokens
    QTest::newRow("tokens anywhere") << u("Hi<|im_end|> there</s>[end of text]") << u("Hi there");
    QTest::newRow("tokens are case-sensitive") << u("Hi <|IM_END|>") << u("Hi <|IM_END|>");
    QTest::newRow("removal in order, later token formed")
        << u("a<|<|end|>im_end|>b<|e<|endoftext|>nd|>") << u("ab");
    QTest::newRow("removal in order, earlier token formed") << u("a<|en<|im_end|>d|>") << u("a<|end|>");
    QTest::newRow("only tokens and whitespace") << u(" </s>\n<|eot_id|> \u200B<|end|>\n") << QString();
    // 4. and 5. labels at the ends
    QTest::newRow("labels at both ends") << u("Assistant: Hello\nUser:") << u("Hello");
    QTest::newRow("leading labels chained") << u("\nUser:\nAssistant: hi") << u("hi");
    QTest::newRow("user then assistant label") << u("User:Assistant: x") << u("x");
    QTest::newRow("each leading label once") << u("Assistant:Assistant: x") << u("Assistant: x");
    QTest::newRow("assistant before user not both") << u("Assistant: User: x") << u("User: x");
    QTest::newRow("label in the middle stays") << u("a\nUser: b") << u("a\nUser: b");
    QTest::newRow("trailing labels chained") << u("Hi\nAssistant:\nUser:") << u("Hi");
    QTest::newRow("trailing labels in reverse order") << u("Hi\nUser:\nAssistant:") << u("Hi\nUser:");
    QTest::newRow("trailing label before trim") << u("Hi\nUser: ") << u("Hi\nUser:");
    // 6. trim
    QTest::newRow("invisible ends") << u("\u200B\uFEFFHi\u00AD there\u2060\u200D ") << u("Hi\u00AD there");
    // 7. blank lines
    QTest::newRow("five line breaks") << u("a\n\n\n\n\nb") << u("a\n\nb");
    QTest::newRow("two line breaks") << u("a\n\nb") << u("a\n\nb");
    QTest::newRow("leading line breaks") << u("\n\n\n\nHi") << u("Hi");
    // 8. spacing outside code
    QTest::newRow("spaces collapse") << u("a   b  c d") << u("a b c d");
    QTest::newRow("fenced code untouched")
        << u("x  y\n```\nint  a;\n```\nz  w") << u("x y\n```\nint  a;\n```\nz w");
    QTest::newRow("indented fences and tab")
        << u("a  b\n  ```py\nif  x:\n\t```\nq  r") << u("a b\n  ```py\nif  x:\n\t```\nq r");
    QTest::newRow("unclosed fence protects the rest")
        << u("a  b\n```\nc   d\ne  f") << u("a b\n```\nc   d\ne  f");
    QTest::newRow("fence line itself untouched") << u("```  js\nk  l\n```") << u("```  js\nk  l\n```");
    QTest::newRow("blank lines collapse inside code too")
        << u("```\na\n\n\n\nb\n```") << u("```\na\n\nb\n```");
    QTest::newRow("indentation outside code collapses") << u("-  item\n    nested") << u("- item\n nested");
    QTest::newRow("empty") << QString() << QString();
}

void TestPromptAndCleaning::cleanResponse()
{
    QFETCH(QString, raw);
    QFETCH(QString, cleaned);
    QCOMPARE(::cleanResponse(raw), cleaned);
}

void TestPromptAndCleaning::systemSection_data()
{
    QTest::addColumn<OptString>("stored");
    QTest::addColumn<QString>("section");

    const QString def = u("System: You are Quorvane, a helpful AI assistant running locally on the user's device.\n\n");
    QTest::newRow("none stored") << OptString() << def;
    QTest::newRow("blank stored") << OptString(u(" \n\t ")) << QString();
    QTest::newRow("empty stored") << OptString(QString()) << QString();
    QTest::newRow("trimmed") << OptString(u("\n  Be brief.\n")) << u("System: Be brief.\n\n");
}

void TestPromptAndCleaning::systemSection()
{
    QFETCH(OptString, stored);
    QFETCH(QString, section);
    QCOMPARE(::systemSection(stored), section);
    QCOMPARE(fitPromptToBudget(u("User: x\n\nAssistant:"), stored), section + u("User: x\n\nAssistant:"));
}

void TestPromptAndCleaning::budgetCuts_data()
{
    QTest::addColumn<OptString>("stored");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("kept"); // characters of the transcript kept after the marker, -1: no cut

    // the default section has 88 characters: room for 20,520
    QTest::newRow("default, at the budget") << OptString() << 20520 << -1;
    QTest::newRow("default, one more") << OptString() << 20521 << 20464;
    QTest::newRow("default, 30000") << OptString() << 30000 << 20464;
    QTest::newRow("no section, at the budget") << OptString(u("  ")) << 20608 << -1;
    QTest::newRow("no section, one more") << OptString(u("  ")) << 20609 << 20552;
    QTest::newRow("huge system prompt leaves 256") << OptString(asciiRun(30000)) << 257 << 200;
    QTest::newRow("huge system prompt, at 256") << OptString(asciiRun(30000)) << 256 << -1;
}

void TestPromptAndCleaning::budgetCuts()
{
    QFETCH(OptString, stored);
    QFETCH(int, length);
    QFETCH(int, kept);

    const QString transcript = asciiRun(length - 10) + u("Assistant:");
    const QString section = ::systemSection(stored);
    LogCapture log;
    const QString prompt = fitPromptToBudget(transcript, stored);

    QVERIFY(prompt.startsWith(section));
    const QString shaped = prompt.mid(section.size());
    if (kept < 0) {
        QCOMPARE(shaped, transcript);
        QVERIFY(!log.contains(u("Prompt truncated")));
        return;
    }
    QCOMPARE(shaped, QString::fromUtf8(kTruncationMarker) + transcript.right(kept));
    QVERIFY(shaped.endsWith(u("Assistant:")));
    QVERIFY(log.contains(u("Prompt truncated: %1 → %2 chars (~5888 tok budget)").arg(length).arg(kept + 56)));
}

void TestPromptAndCleaning::budgetCutKeepsClustersWhole_data()
{
    QTest::addColumn<QString>("cluster");
    QTest::addColumn<int>("offset");

    // 20,521 characters with the default section: 57 characters go. The
    // transcript is 55 + `offset` ASCII letters, then four clusters of the
    // given kind, then ASCII up to the length, so that the cut falls just
    // after, inside, or just before the run of clusters.
    const char *clusters[] = {"👨\u200D👩\u200D👧\u200D👦", "🇯🇵", "e\u0301\u0302", "👍🏽", "1\uFE0F\u20E3",
                              "\r\n", "\U0001F600"};
    const char *names[] = {"family", "flag", "combining", "skin tone", "keycap", "crlf", "astral"};
    for (int i = 0; i < 7; ++i) {
        for (int offset : {-2, -1, 0, 1, 2, 3}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(names[i])).arg(offset)))
                << QString::fromUtf8(clusters[i]) << offset;
        }
    }
}

void TestPromptAndCleaning::budgetCutKeepsClustersWhole()
{
    QFETCH(QString, cluster);
    QFETCH(int, offset);

    const int total = 20521;
    QStringList parts; // one entry per character as a user sees it
    for (int i = 0; i < 55 + offset; ++i)
        parts << u("x");
    for (int i = 0; i < 4; ++i)
        parts << cluster;
    while (parts.size() < total - 10)
        parts << u("y");
    for (QChar c : u("Assistant:"))
        parts << QString(c);
    QCOMPARE(parts.size(), total);

    const QString prompt = fitPromptToBudget(parts.join(QString()), std::nullopt);
    const QString shaped = prompt.mid(::systemSection(std::nullopt).size());
    const QString expected = QString::fromUtf8(kTruncationMarker) + QStringList(parts.mid(57)).join(QString());
    QCOMPARE(shaped, expected);
    QCOMPARE(::graphemeCount(shaped), qsizetype(20520));
}

void TestPromptAndCleaning::transcript_data()
{
    QTest::addColumn<QList<ChatMessage>>("history");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("expected");

    const QString stop = QString::fromUtf8(kGenerationStoppedText);
    QTest::newRow("no history") << QList<ChatMessage>() << u("  hi") << u("User:   hi\n\nAssistant:");
    QTest::newRow("prompt already last")
        << QList<ChatMessage>{msg(u("a"), true), msg(u("b"), false), msg(u("hi"), true)} << u("hi")
        << u("User: a\n\nAssistant: b\n\nUser: hi\n\nAssistant:");
    QTest::newRow("last differs by a space")
        << QList<ChatMessage>{msg(u("hi "), true)} << u("hi") << u("User: hi \n\nUser: hi\n\nAssistant:");
    QTest::newRow("last is an assistant message with the prompt text")
        << QList<ChatMessage>{msg(u("hi"), false)} << u("hi") << u("Assistant: hi\n\nUser: hi\n\nAssistant:");
    QTest::newRow("stopped replies dropped, user text kept")
        << QList<ChatMessage>{msg(stop, true), msg(stop, false), msg(stop + u(" "), false), msg(u("q"), true)}
        << u("q")
        << u("User: Generation stopped by user.\n\nAssistant: Generation stopped by user. \n\nUser: q\n\nAssistant:");
    QTest::newRow("attachments")
        << QList<ChatMessage>{msg(u("one"), true, QList<AttachedFile>{file(u("a.txt"), u("txt")),
                                                                     file(u("b c.pdf"), u("pdf"))}),
                              msg(u("ok"), false),
                              msg(u("(Attached files)"), true, QList<AttachedFile>{file(u("n.md"), u("md")),
                                                                                  file(u("m"), QString())})}
        << u("(Attached files)")
        << u("User: one\n[Previously attached: a.txt, b c.pdf]\n\n"
             "Assistant: ok\n\n"
             "User: (Attached files)\n\n[Attached Files]:\n"
             "\n--- File: n.md (Type: md) ---\n<text of n.md>\n--- End of n.md ---\n"
             "\n--- File: m (Type: ) ---\n<text of m>\n--- End of m ---\n"
             "\n\nAssistant:");
    QTest::newRow("empty attachment list adds nothing")
        << QList<ChatMessage>{msg(u("x"), true, QList<AttachedFile>{})} << u("x") << u("User: x\n\nAssistant:");
}

void TestPromptAndCleaning::transcript()
{
    QFETCH(QList<ChatMessage>, history);
    QFETCH(QString, prompt);
    QFETCH(QString, expected);
    FakeExtractor extractor;
    QCOMPARE(buildTranscript(prompt, keptHistory(history), extractor.fn()), expected);
}

void TestPromptAndCleaning::onlyNewestUserMessageIsRead()
{
    // The newest user message is read even when an assistant message follows
    // it; older ones only name their files.
    const QList<ChatMessage> history{
        msg(u("first"), true, QList<AttachedFile>{file(u("old.txt"), u("txt"))}),
        msg(u("second"), true, QList<AttachedFile>{file(u("new.txt"), u("txt")), file(u("new2.txt"), u("txt"))}),
        msg(u("reply"), false),
    };
    FakeExtractor extractor;
    const QString transcript = assembleConversation(keptHistory(history), extractor.fn());
    QCOMPARE(extractor.calls, (QStringList{u("new.txt"), u("new2.txt")}));
    QVERIFY(transcript.startsWith(u("User: first\n[Previously attached: old.txt]\n\nUser: second\n\n[Attached Files]:\n")));
    QVERIFY(transcript.endsWith(u("--- End of new2.txt ---\n\n\nAssistant: reply\n\n")));
    QVERIFY(!transcript.contains(u("<text of old.txt>")));
}

QTEST_GUILESS_MAIN(TestPromptAndCleaning)
#include "tst_prompt_and_cleaning.moc"
