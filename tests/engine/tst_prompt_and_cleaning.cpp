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

ChatMessage msg(const char *content, bool fromUser, std::optional<QList<AttachedFile>> files = std::nullopt)
{
    return ChatMessage::make(u(content), fromUser, std::move(files));
}

// Stands in for attachment extraction and records which files were read.
struct FakeExtractor {
    QStringList calls;
    AttachmentTextFunction fn()
    {
        return [this](const AttachedFile &f) {
            calls << f.fileName;
            return "<text of " + f.fileName + '>';
        };
    }
};

// 20 distinct ASCII letters, repeated, so that a cut one character off shows.
QString asciiRun(qsizetype n)
{
    QString s(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        s[i] = QChar(char16_t(u'a' + i % 20));
    return s;
}

} // namespace

class TestPromptAndCleaning : public QObject {
    Q_OBJECT

private slots:
    void replyTrim_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("both");
        QTest::addColumn<QString>("start");
        QTest::newRow("invisible format characters")
            << u("\u200B\u200C\u200D\uFEFF\u00AD\u2060Hi\u2060\u00AD\uFEFF\u200D\u200C\u200B") << u("Hi")
            << u("Hi\u2060\u00AD\uFEFF\u200D\u200C\u200B");
        QTest::newRow("inside kept") << u(" a\u200Bb\u00ADc ") << u("a\u200Bb\u00ADc") << u("a\u200Bb\u00ADc ");
        QTest::newRow("unicode spaces") << u("\u00A0\u3000\u2028\u0085x\u2029\u202F") << u("x") << u("x\u2029\u202F");
        QTest::newRow("emoji at ends kept") << u("\u200B😀 ok 👍\u200D") << u("😀 ok 👍") << u("😀 ok 👍\u200D");
        QTest::newRow("only trimmable") << u(" \u200B\n\uFEFF") << QString() << QString();
        QTest::newRow("other format character stays") << u("\u200Ex\u200E") << u("\u200Ex\u200E") << u("\u200Ex\u200E");
    }
    void replyTrim()
    {
        QFETCH(QString, input);
        QFETCH(QString, both);
        QFETCH(QString, start);
        QCOMPARE(trimReply(input), both);
        QCOMPARE(trimReplyStart(input), start);
    }

    // Rows follow the cleaning steps in order.
    void cleanResponse_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("cleaned");
        const auto row = [](const char *name, const char *raw, const char *cleaned) {
            QTest::newRow(name) << u(raw) << u(cleaned);
        };
        row("echo", "User: hi\n\nAssistant: Hello", "Hello");
        row("echo, short label lower case not matched", "User: hi\n\na: Hello", "hi\n\na: Hello");
        row("echo, full label before short one", "User: q\n\nA: one\n\nAssistant: two", "two");
        row("no user label at start keeps assistant label", "Sure.\n\nAssistant: more", "Sure.\n\nAssistant: more");
        row("eof notice", "Hello\n> EOF by user\nleft over", "Hello");
        row("eof notice in capitals without line break", "Hello > EOF BY USER", "Hello");
        row("echo cut before eof search", "User: a\n> EOF by user\n\nAssistant: b", "b");
        row("tokens are case-sensitive", "Hi <|IM_END|>", "Hi <|IM_END|>");
        row("tokens removed once, in order", "a<|en<|im_end|>d|>", "a<|end|>");
        row("only tokens and whitespace", " </s>\n<|eot_id|> \u200B<|end|>\n", "");
        row("labels at both ends", "Assistant: Hello\nUser:", "Hello");
        row("leading labels chained", "\nUser:\nAssistant: hi", "hi");
        row("each leading label once", "Assistant:Assistant: x", "Assistant: x");
        row("label in the middle stays", "a\nUser: b", "a\nUser: b");
        row("trailing labels chained", "Hi\nAssistant:\nUser:", "Hi");
        row("trailing labels in reverse order", "Hi\nUser:\nAssistant:", "Hi\nUser:");
        row("trailing label before trim", "Hi\nUser: ", "Hi\nUser:");
        row("invisible ends", "\u200B\uFEFFHi\u00AD there\u2060\u200D ", "Hi\u00AD there");
        row("blank lines", "a\n\n\nb\n\n\n\n\nc\n\nd", "a\n\nb\n\nc\n\nd");
        row("fenced code untouched", "x  y\n```\nint  a;\n```\nz  w", "x y\n```\nint  a;\n```\nz w");
        row("indented fences and tab", "a  b\n  ```py\nif  x:\n\t```\nq  r", "a b\n  ```py\nif  x:\n\t```\nq r");
        row("unclosed fence protects the rest", "a  b\n```\nc   d\ne  f", "a b\n```\nc   d\ne  f");
        row("blank lines collapse inside code too", "```\na\n\n\n\nb\n```", "```\na\n\nb\n```");
        row("indentation outside code collapses", "-  item\n    nested", "- item\n nested");
    }
    void cleanResponse()
    {
        QFETCH(QString, raw);
        QFETCH(QString, cleaned);
        QCOMPARE(::cleanResponse(raw), cleaned);
    }

    void budgetCuts_data()
    {
        QTest::addColumn<OptString>("stored");
        QTest::addColumn<QString>("section");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("kept"); // characters of the transcript kept after the marker, -1: no cut
        // The default section has 88 characters: room for 20,520.
        const QString byDefault =
            u("System: You are Quorvane, a helpful AI assistant running locally on the user's device.\n\n");
        QTest::newRow("default, at the budget") << OptString() << byDefault << 20520 << -1;
        QTest::newRow("default, one more") << OptString() << byDefault << 20521 << 20464;
        QTest::newRow("blank: no section, one more") << OptString(u(" \n\t ")) << QString() << 20609 << 20552;
        QTest::newRow("trimmed") << OptString(u("\n  Be brief.\n")) << u("System: Be brief.\n\n") << 100 << -1;
        const QString huge = asciiRun(30000);
        QTest::newRow("huge system prompt, at 256") << OptString(huge) << "System: " + huge + "\n\n" << 256 << -1;
        QTest::newRow("huge system prompt leaves 256") << OptString(huge) << "System: " + huge + "\n\n" << 257 << 200;
    }
    void budgetCuts()
    {
        QFETCH(OptString, stored);
        QFETCH(QString, section);
        QFETCH(int, length);
        QFETCH(int, kept);
        const QString transcript = asciiRun(length - 10) + u("Assistant:");
        QCOMPARE(::systemSection(stored), section);
        LogCapture log;
        const QString prompt = fitPromptToBudget(transcript, stored);
        QVERIFY(prompt.startsWith(section));
        const QString shaped = prompt.mid(section.size());
        if (kept < 0) {
            QCOMPARE(shaped, transcript);
            QVERIFY(!log.contains(u("Prompt truncated")));
        } else {
            QCOMPARE(shaped, QString::fromUtf8(kTruncationMarker) + transcript.right(kept));
            QVERIFY(log.contains(u("Prompt truncated: %1 → %2 chars (~5888 tok budget)").arg(length).arg(kept + 56)));
        }
    }

    void budgetCutKeepsClustersWhole_data()
    {
        QTest::addColumn<QString>("cluster");
        QTest::addColumn<int>("offset");
        // 20,521 characters with the default section: 57 go. The transcript
        // is 55 + offset ASCII letters, four clusters, then ASCII, so that the
        // cut falls just before, inside or just after the clusters.
        const char *clusters[] = {"👨\u200D👩\u200D👧\u200D👦", "🇯🇵", "e\u0301\u0302",
                                  "👍🏽", "1\uFE0F\u20E3", "\r\n"};
        const char *names[] = {"family", "flag", "combining", "skin tone", "keycap", "crlf"};
        for (int i = 0; i < 6; ++i)
            for (int offset : {-2, -1, 0, 1, 2, 3})
                QTest::addRow("%s %d", names[i], offset) << u(clusters[i]) << offset;
    }
    void budgetCutKeepsClustersWhole()
    {
        QFETCH(QString, cluster);
        QFETCH(int, offset);
        QStringList parts; // one entry per character as a user sees it
        for (int i = 0; i < 55 + offset; ++i)
            parts << u("x");
        for (int i = 0; i < 4; ++i)
            parts << cluster;
        while (parts.size() < 20511)
            parts << u("y");
        for (QChar c : u("Assistant:"))
            parts << QString(c);

        const QString prompt = fitPromptToBudget(parts.join(QString()), std::nullopt);
        const QString shaped = prompt.mid(::systemSection(std::nullopt).size());
        QCOMPARE(shaped, QString::fromUtf8(kTruncationMarker) + parts.mid(57).join(QString()));
        QCOMPARE(::graphemeCount(shaped), qsizetype(20520));
    }

    void transcript_data()
    {
        QTest::addColumn<QList<ChatMessage>>("history");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("expected");
        const QByteArray stop = kGenerationStoppedText;
        QTest::newRow("no history") << QList<ChatMessage>() << u("  hi") << u("User:   hi\n\nAssistant:");
        QTest::newRow("prompt already last")
            << QList<ChatMessage>{msg("a", true), msg("b", false), msg("hi", true)} << u("hi")
            << u("User: a\n\nAssistant: b\n\nUser: hi\n\nAssistant:");
        QTest::newRow("last differs by a space")
            << QList<ChatMessage>{msg("hi ", true)} << u("hi") << u("User: hi \n\nUser: hi\n\nAssistant:");
        QTest::newRow("last is an assistant message with the prompt text")
            << QList<ChatMessage>{msg("hi", false)} << u("hi") << u("Assistant: hi\n\nUser: hi\n\nAssistant:");
        QTest::newRow("stopped replies dropped, user text kept")
            << QList<ChatMessage>{msg(stop, true), msg(stop, false), msg(stop + " ", false), msg("q", true)} << u("q")
            << u("User: Generation stopped by user.\n\nAssistant: Generation stopped by user. \n\nUser: q\n\nAssistant:");
        // a stored kind decides, not the text; an asked-again reply gives the shown answer
        ChatMessage said = msg(stop, false), mark = msg("Stopped.", false), asked = msg("first", false);
        said.kind = MessageKind::Reply;
        mark.kind = MessageKind::Stopped;
        asked.addVersion({u("second"), {}, {}});
        asked.showVersion(0);
        QTest::newRow("kinds over texts") << QList<ChatMessage>{msg("q", true), said, mark, asked, msg("r", true)}
                                          << u("r")
                                          << u("User: q\n\nAssistant: Generation stopped by user.\n\n"
                                               "Assistant: first\n\nUser: r\n\nAssistant:");
        QTest::newRow("attachments")
            << QList<ChatMessage>{msg("one", true, QList<AttachedFile>{file("a.txt", "txt"), file("b c.pdf", "pdf")}),
                                  msg("ok", false),
                                  msg("(Attached files)", true, QList<AttachedFile>{file("n.md", "md"), file("m", "")})}
            << u("(Attached files)")
            << u("User: one\n[Previously attached: a.txt, b c.pdf]\n\n"
                 "Assistant: ok\n\n"
                 "User: (Attached files)\n\n[Attached Files]:\n"
                 "\n--- File: n.md (Type: md) ---\n<text of n.md>\n--- End of n.md ---\n"
                 "\n--- File: m (Type: ) ---\n<text of m>\n--- End of m ---\n"
                 "\n\nAssistant:");
        QTest::newRow("newest user message read though a reply follows")
            << QList<ChatMessage>{msg("first", true, QList<AttachedFile>{file("old.txt", "txt")}),
                                  msg("second", true, QList<AttachedFile>{file("new.txt", "txt")}), msg("reply", false)}
            << u("again")
            << u("User: first\n[Previously attached: old.txt]\n\nUser: second\n\n[Attached Files]:\n"
                 "\n--- File: new.txt (Type: txt) ---\n<text of new.txt>\n--- End of new.txt ---\n"
                 "\n\nAssistant: reply\n\nUser: again\n\nAssistant:");
        QTest::newRow("empty attachment list adds nothing")
            << QList<ChatMessage>{msg("x", true, QList<AttachedFile>{})} << u("x") << u("User: x\n\nAssistant:");
    }
    void transcript()
    {
        QFETCH(QList<ChatMessage>, history);
        QFETCH(QString, prompt);
        QFETCH(QString, expected);
        FakeExtractor extractor;
        QCOMPARE(buildTranscript(prompt, keptHistory(history), extractor.fn()), expected);
        // only the files whose text is in the transcript were read
        QCOMPARE(extractor.calls.size(), expected.count(u("<text of ")));
    }
};

QTEST_GUILESS_MAIN(TestPromptAndCleaning)
#include "tst_prompt_and_cleaning.moc"
