// The chat screen driven as a user would: keys in the message field, the send/stop button found by its accessible name,
// the rows of the message list, the attachment cards and the alerts, with replies streamed by the fake
// llama-completion.
#include "app/composer_state.h"
#include "ui/chat_messages_model.h"
#include "ui/chat_sessions_model.h"
#include "ui/models_list_model.h"
#include "ui/window_driver.h"

#include <QAbstractItemModelTester>
#include <QMimeData>
#include <QRegularExpression>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

const QString kStopped = QStringLiteral("Generation stopped by user.");

} // namespace

class TestChatScreen : public QObject, public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        using std::chrono::milliseconds;
        QVERIFY(makeHome(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        QVERIFY(openWindow({}, {milliseconds(60000), milliseconds(50), milliseconds(300)}));
        AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
        model.isDownloaded = true;
        model.filePath = m_home->writeFile(QStringLiteral("tiny.gguf"), "GGUF");
        m_state->addModel(model); // selected as the first one downloaded
        QVERIFY((m_composer = m_state->findChild<ComposerState *>()));
    }

    void init()
    {
        // every case starts on the chat screen (made anew after another) in a conversation of its own, composer empty
        QVERIFY(waitUntil([&] { return idle(); }));
        m_state->setCurrentView(AppView::Chat);
        QTRY_VERIFY(control(QStringLiteral("chatView")));
        m_model = control(QStringLiteral("chatView"))->findChild<ChatMessagesModel *>();
        m_state->createNewChat();
        m_composer->setMessageText(QString());
        m_composer->clearAttachments();
    }

    void emptyConversationShowsTheGreeting()
    {
        QVERIFY(control(QStringLiteral("greeting")) && !control(QStringLiteral("messageList")));
        // the composer sits under the greeting, not at the bottom
        QQuickItem *composer = control(QStringLiteral("composer"));
        const double height = control(QStringLiteral("chatView"))->height();
        QVERIFY(composer->y() < height / 2.0 + composer->height());

        // Shift+Return breaks the line; Return sends
        script("sleep 300\nout Welcome back\n"
               "err eval time = 80.00 ms / 8 runs (10.00 ms per token, 100.00 tokens per second)\\n\n");
        control(QStringLiteral("messageField"))->forceActiveFocus();
        type(QStringLiteral("First"));
        QTest::keyClick(m_window, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(m_composer->messageText(), QStringLiteral("First\n"));
        QCOMPARE(m_model->rowCount(), 0);
        typeAndSend(QStringLiteral("words"));
        // at once: the list with the user's message and the typing indicator
        QTRY_COMPARE(shownBubbles(), (QStringList{"First\nwords", "(typing)"}));
        QVERIFY(!control(QStringLiteral("greeting")));
        QTRY_COMPARE(shownBubbles(), (QStringList{"First\nwords", "Welcome back"}));
        // how the reply was made, in one line under it
        QTRY_COMPARE(controls(QStringLiteral("figuresLine")).size(), 1);
        const QString figures = textOf(QStringLiteral("figuresLine"));
        const QRegularExpression line(QStringLiteral("^\\d+\\.\\d\\d s to first token · 100\\.0 tokens/s · 8 tokens · "
                                                     "llama-completion · Tiny$"));
        QVERIFY2(line.match(figures).hasMatch(), qPrintable(figures));
        QCOMPARE(composer->y() + composer->height(), height - 16.0);
        // Return sent the text: the field is empty, and the reply handed it the focus back
        QCOMPARE(textOf(QStringLiteral("messageField")), QString());
        QTRY_VERIFY(control(QStringLiteral("messageField"))->hasActiveFocus());
    }

    // A long reply streams in at the end of a long conversation and the view keeps the end in sight; it streams on
    // while another conversation is shown; back in its conversation Escape stops it, keeping the text that came, marked
    // live while it streamed.
    void stopWhileStreaming()
    {
        for (int i = 0; i < 30; ++i)
            m_state->addMessage(ChatMessage::make(QStringLiteral("Message %1").arg(i), i % 2 == 0));
        const QString busy = m_model->sessionId();
        m_state->createNewChat();
        m_state->selectSessionById(busy);
        QQuickItem *list = control(QStringLiteral("messageList"));
        QTRY_VERIFY(list->property("atYEnd").toBool());

        QByteArray lines;
        for (int i = 0; i < 40; ++i)
            lines += "out Line " + QByteArray::number(i) + "\\n\\n\nsleep 15\n";
        script(lines + "sleep 8000\n");
        QSignalSpy resets(m_model, &QAbstractItemModel::modelReset);
        const double heightBefore = list->property("contentHeight").toDouble();
        typeAndSend(QStringLiteral("Write forty lines"));
        QTRY_VERIFY(control(QStringLiteral("Stop generation")));
        QTRY_VERIFY(m_model->liveText().contains(QLatin1String("Line 39")));
        QTRY_VERIFY(list->property("contentHeight").toDouble() > heightBefore + list->height());
        QTRY_VERIFY(list->property("atYEnd").toBool());
        QCOMPARE(resets.count(), 0);

        m_state->createNewChat();
        QTRY_VERIFY(control(QStringLiteral("Send")) && control(QStringLiteral("greeting")));

        m_state->selectSessionById(busy);
        QTRY_VERIFY(control(QStringLiteral("Stop generation")));
        const QString streamed = m_model->liveText();
        QTRY_COMPARE(shownBubbles().last(), streamed);
        QVERIFY(m_model->index(31).data(ChatMessagesModel::IsLiveRole).toBool());
        resets.clear();
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(control(QStringLiteral("Send")));
        QTRY_COMPARE(rows().mid(30), (QStringList{"Write forty lines", streamed.trimmed(), kStopped}));
        QTRY_VERIFY(list->property("atYEnd").toBool()); // the rows at the end are made once scrolled to
        QTRY_COMPARE(shownBubbles().mid(31), rows().mid(31));
        QVERIFY(!m_model->index(m_model->rowCount() - 1).data(ChatMessagesModel::IsLiveRole).toBool());
        QVERIFY(controls(QStringLiteral("figuresLine")).isEmpty()); // a stopped reply has no figures
        // the turn changed the rows one by one, never all at once
        QCOMPARE(resets.count(), 0);
    }

    void fileCards_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("icon");
        // dropped beside a folder, and the screen left; else added, and the card's remove button
        QTest::addColumn<bool>("dropped");
        QTest::newRow("pdf") << "report.pdf" << "doc.fill" << false;
        QTest::newRow("PDF in capitals") << "REPORT.PDF" << "doc.text.fill" << false;
        QTest::newRow("hidden file") << ".pdf" << "doc.text.fill" << false;
        QTest::newRow("dropped text") << "plan.md" << "doc.text.fill" << true;
    }

    void fileCards()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, icon);
        QFETCH(bool, dropped);
        QAbstractItemModelTester tester(m_composer->attachments(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QString path = m_home->writeFile(QStringLiteral("files/") + fileName, "content");
        if (dropped) {
            // the outline shows while something is dragged over; the folder is passed over
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(m_home->home() + QStringLiteral("/files")), QUrl::fromLocalFile(path)});
            const QPoint centre = centreOf(control(QStringLiteral("chatView")));
            QQuickItem *outline = m_window->findChild<QQuickItem *>(QStringLiteral("dropOutline"));
            QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(m_window, &enter);
            QTRY_COMPARE(outline->opacity(), 1.0);
            QDragLeaveEvent leave;
            QCoreApplication::sendEvent(m_window, &leave);
            QTRY_COMPARE(outline->opacity(), 0.0);
            QDragEnterEvent again(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(m_window, &again);
            QDropEvent drop(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(m_window, &drop);
            QCOMPARE(m_composer->attachedFiles(), QList<QUrl>{QUrl::fromLocalFile(path)});
            QTRY_COMPARE(outline->opacity(), 0.0);
        } else {
            m_composer->addAttachments({QUrl::fromLocalFile(path)});
        }
        QCOMPARE(waitFor(QStringLiteral("fileCardIcon"))->property("name").toString(), icon);
        QTRY_VERIFY(control(fileName));
        if (dropped) {
            QQuickItem *screen = control(QStringLiteral("chatView"));
            screen->setVisible(false);
            screen->setVisible(true);
        } else {
            click(control(QStringLiteral("Remove file")));
        }
        QTRY_VERIFY(m_composer->attachedFiles().isEmpty());
        // the card fades out, then the row goes
        QTRY_VERIFY(!control(QStringLiteral("attachmentRow")));
        QTRY_VERIFY(items(root(), [](QQuickItem *i) { return isType(i, "FileCard"); }, false).isEmpty());
    }

    void alerts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("viewAfter");
        QTest::newRow("no model, go to models")
            << "No Model Selected" << QString() << "Go to Models" << int(AppView::Models);
        QTest::newRow("no model, cancel") << "No Model Selected" << QString() << "Cancel" << int(AppView::Chat);
        QTest::newRow("file too large")
            << "File Too Large" << "big.bin (5.2 MB) is larger than the 5 MB attachment limit and was not attached."
            << "OK" << int(AppView::Chat);
    }

    void alerts()
    {
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(QString, button);
        QFETCH(int, viewAfter);
        m_state->setCurrentView(AppView::Chat);
        if (title == QLatin1String("No Model Selected"))
            m_composer->setShowingNoModelAlert(true);
        else
            m_composer->addAttachments({QUrl::fromLocalFile(
                m_home->writeFile(QStringLiteral("big.bin"), QByteArray(5 * 1024 * 1024 + 1, 'x')))});
        QTRY_VERIFY(shownText(title));
        QVERIFY(message.isEmpty() || shownText(message));
        QCOMPARE(controls(button).size(), 1);
        click(control(button));
        QTRY_VERIFY(!shownText(title));
        QVERIFY(!m_composer->showingNoModelAlert() && !m_composer->showingAttachmentAlert());
        QCOMPARE(int(m_state->currentView()), viewAfter);
    }

    // Asking again, switching answers, editing, deleting and renaming reach the lists as row changes that Qt's model
    // tester accepts, never as resets; the reply asked for again streams in its own row.
    void messageActionsRowByRow()
    {
        ChatSessionsModel sessions;
        sessions.setAppState(m_state.get());
        ModelsListModel models;
        models.setAppState(m_state.get());
        for (QAbstractItemModel *model : std::initializer_list<QAbstractItemModel *>{m_model, &sessions, &models})
            new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
        QSignalSpy resets(m_model, &QAbstractItemModel::modelReset);
        const auto id = [&](int row) { return m_model->index(row).data(ChatMessagesModel::MessageIdRole).toString(); };

        script("out First\n");
        typeAndSend(QStringLiteral("Q"));
        QTRY_COMPARE(rows(), (QStringList{"Q", "First"}));
        script("out Second\nsleep 8000\n");
        click(waitFor(QStringLiteral("Regenerate"))); // shown once the window has seen the reply end
        QVERIFY(!m_state->canRegenerate() && !m_state->regenerateLastReply());
        QTRY_COMPARE(rows(), (QStringList{"Q", "Second"}));
        QVERIFY(m_model->index(1).data(ChatMessagesModel::IsLiveRole).toBool());
        click(control(QStringLiteral("Stop generation")));
        QTRY_COMPARE(rows(), (QStringList{"Q", "Second", kStopped}));
        QCOMPARE(textOf(waitFor(QStringLiteral("versionLabel"))), QStringLiteral("2/2"));
        click(control(QStringLiteral("Previous answer")));
        QCOMPARE(rows(), (QStringList{"Q", "First", kStopped}));
        QTRY_COMPARE(textOf(QStringLiteral("versionLabel")), QStringLiteral("1/2"));

        // the pencil on hover edits in place; Save & send asks again
        script("out Better\n");
        hover(items(root(), [](QQuickItem *i) {
            return isType(i, "MessageView") && i->property("isFromUser").toBool();
        }).value(0));
        click(waitFor(QStringLiteral("Edit message")));
        QTRY_VERIFY(control(QStringLiteral("editField")));
        QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
        type(QStringLiteral("Q2"));
        click(control(QStringLiteral("Save & send")));
        QTRY_COMPARE(rows(), (QStringList{"Q2", "Better"}));
        QTRY_VERIFY(idle());
        QVERIFY(m_state->deleteMessage(id(1)));
        QCOMPARE(rows(), QStringList{"Q2"});
        QVERIFY(m_state->renameSession(m_model->sessionId(), QStringLiteral(" Mine ")));
        QCOMPARE(sessions.index(0).data(ChatSessionsModel::TitleRole).toString(), QStringLiteral("Mine"));
        QCOMPARE(resets.count(), 0);
    }

private:
    // What the list shows for each row: the bubble's text, or "(typing)".
    QStringList shownBubbles() const
    {
        QStringList out;
        QQuickItem *list = control(QStringLiteral("messageList"));
        if (!list)
            return out;
        for (int r = 0; r < m_model->rowCount(); ++r) {
            QQuickItem *delegate = nullptr;
            QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, delegate), Q_ARG(int, r));
            QQuickItem *bubble = items(delegate, [](QQuickItem *i) { return isType(i, "MessageView"); }).value(0);
            const bool typing =
                !items(delegate, [](QQuickItem *i) { return isType(i, "TypingIndicatorView"); }).isEmpty();
            out << (bubble ? bubble->property("content").toString() : typing ? QStringLiteral("(typing)") : QString());
        }
        return out;
    }
    QStringList rows() const
    {
        QStringList out;
        for (int r = 0; r < m_model->rowCount(); ++r)
            out << m_model->index(r).data(ChatMessagesModel::ContentRole).toString();
        return out;
    }
    void typeAndSend(const QString &text)
    {
        control(QStringLiteral("messageField"))->forceActiveFocus();
        type(text);
        QTest::keyClick(m_window, Qt::Key_Return);
    }
    void script(const QByteArray &text) { qputenv("FAKE_LLAMA_SCRIPT_TEXT", text); }
    bool idle() const { return !m_state->isCurrentSessionGenerating(); }

    ComposerState *m_composer = nullptr;
    ChatMessagesModel *m_model = nullptr;
};

QTEST_MAIN(TestChatScreen)
#include "tst_chat_screen.moc"
