#include "common/test_support.h"
#include "engine/prompt_assembly.h"
#include "engine/response_cleaning.h"

#include <QTest>

#include <optional>

using OptString = std::optional<QString>;
Q_DECLARE_METATYPE(OptString)

namespace {

QString u(const char *utf8) { return QString::fromUtf8(utf8); }

AttachedFile file(const QString &name, const QString &type)
{
    return AttachedFile{QUuid::createUuid(), name, QStringLiteral("/tmp/") + name, type};
}

ChatMessage msg(const char *content, bool fromUser, std::optional<QList<AttachedFile>> files = std::nullopt)
{
    return ChatMessage::make(u(content), fromUser, std::move(files));
}

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
        row("unicode spaces at the ends, other format characters kept", "\u00A0\u3000\u2028\u200Ex\u200E\u2029\u202F",
            "\u200Ex\u200E");
        row("emoji at the ends kept", "\u200B😀 ok 👍\u200D", "😀 ok 👍");
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
        // With the default section 57 characters go: 55 + offset ASCII letters
        // come before four clusters, so the cut falls before, inside or after them.
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
        // 20,521 characters as a user sees them: the first 57 go
        const QString rest = QString(20452 - offset, u'y') + QStringLiteral("Assistant:");
        const QString transcript = QString(55 + offset, u'x') + cluster.repeated(4) + rest;
        const QString kept = QString(qMax(0, offset - 2), u'x') + cluster.repeated(4 - qMax(0, 2 - offset)) + rest;
        const QString prompt = fitPromptToBudget(transcript, std::nullopt);
        QCOMPARE(prompt.mid(::systemSection(std::nullopt).size()), QString::fromUtf8(kTruncationMarker) + kept);
    }

    void transcript_data()
    {
        QTest::addColumn<QList<ChatMessage>>("history");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("expected");
        const QByteArray stop = kGenerationStoppedText;
        QTest::newRow("no history") << QList<ChatMessage>() << u("  hi") << u("User:   hi\n\nAssistant:");
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
        int reads = 0;
        const AttachmentTextFunction extract = [&reads](const AttachedFile &f) {
            ++reads;
            return "<text of " + f.fileName + '>';
        };
        QCOMPARE(buildTranscript(prompt, keptHistory(history), extract), expected);
        QCOMPARE(reads, expected.count(u("<text of "))); // only the files whose text is in the transcript were read
    }
};

QTEST_GUILESS_MAIN(TestPromptAndCleaning)
#include "tst_prompt_and_cleaning.moc"
