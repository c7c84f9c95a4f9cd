// The chat screen driven as a user would: keys in the message field, the
// send/stop button found by its accessible name, the rows of the message
// list, the attachment cards and the alerts, with replies streamed by the
// fake llama-completion.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"
#include "ui/chat_messages_model.h"
#include "ui/chat_sessions_model.h"
#include "ui/models_list_model.h"
#include "ui/ui_setup.h"
#include "ui/window_driver.h"

#include <QDir>
#include <QFile>
#include <QAbstractItemModelTester>
#include <QMimeData>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

#include <functional>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

const QString kStopped = QStringLiteral("Generation stopped by user.");

const QByteArray kHarness = R"(
import QtQuick
import Quorvane
Window {
    width: 1000
    height: 700
    visible: true
    ChatView { anchors.fill: parent }
}
)";

bool isType(const QObject *item, const char *qmlType)
{
    return QByteArray(item->metaObject()->className()).startsWith(qmlType);
}

} // namespace

class TestChatScreen : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void emptyConversationShowsTheGreeting();
    void returnKey_data();
    void returnKey();
    void stopWhileStreaming();
    void sendButtonFollowsTheCurrentConversation();
    void listFollowsTheEnd();
    void dropTarget();
    void fileCards_data();
    void fileCards();
    void alerts_data();
    void alerts();
    void messageActionsRowByRow();

private:
    QQuickItem *root() const { return m_window->contentItem(); }
    QQuickItem *byObjectName(const QString &name) const
    {
        return items(root(), [&](QQuickItem *i) { return i->objectName() == name; }).value(0);
    }
    QQuickItem *byAccessibleName(const QString &name) const
    {
        return items(root(), [&](QQuickItem *i) { return accessibleName(i) == name; }).value(0);
    }
    void click(QQuickItem *item) const { WindowDriver(m_window).click(item); }
    // What the list shows for each row: the bubble's text, or "(typing)".
    QStringList shownBubbles() const
    {
        QStringList out;
        QQuickItem *list = byObjectName(QStringLiteral("messageList"));
        if (!list)
            return out;
        for (int r = 0; r < m_model->rowCount(); ++r) {
            QQuickItem *delegate = nullptr;
            QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, delegate), Q_ARG(int, r));
            QQuickItem *bubble = items(delegate, [](QQuickItem *i) { return isType(i, "MessageView"); }).value(0);
            const bool typing = !items(delegate, [](QQuickItem *i) { return isType(i, "TypingIndicatorView"); }).isEmpty();
            out << (bubble ? bubble->property("content").toString() : typing ? QStringLiteral("(typing)") : QString());
        }
        return out;
    }
    // The lines of figures shown under the replies, in order.
    QStringList shownFigures() const
    {
        QStringList out;
        for (QQuickItem *line : items(root(), [](QQuickItem *i) {
                 return i->objectName() == QLatin1String("figuresLine") && i->isVisible();
             }))
            out << line->property("text").toString();
        return out;
    }
    QStringList rows() const
    {
        QStringList out;
        for (int r = 0; r < m_model->rowCount(); ++r)
            out << m_model->index(r).data(ChatMessagesModel::ContentRole).toString();
        return out;
    }
    void typeText(const QString &text) const
    {
        for (const QChar c : text)
            QTest::keyClick(m_window, c.toLatin1());
    }
    void typeAndSend(const QString &text)
    {
        byObjectName(QStringLiteral("messageField"))->forceActiveFocus();
        typeText(text);
        QTest::keyClick(m_window, Qt::Key_Return);
    }
    void script(const QByteArray &text) { qputenv("FAKE_LLAMA_SCRIPT_TEXT", text); }
    bool idle() const { return !m_state->isCurrentSessionGenerating(); }

    TempHome *m_home = nullptr;
    LlamaCPPManager *m_engine = nullptr;
    AppState *m_state = nullptr;
    ComposerState *m_composer = nullptr;
    QQmlApplicationEngine *m_qml = nullptr;
    QQuickWindow *m_window = nullptr;
    ChatMessagesModel *m_model = nullptr;
};

void TestChatScreen::initTestCase()
{
    m_home = new TempHome;
    QVERIFY(m_home->installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
    AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
    model.isDownloaded = true;
    model.filePath = m_home->writeFile(QStringLiteral("tiny.gguf"), "GGUF");
    Preferences().setData(QString::fromLatin1(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
    Preferences().setString(QString::fromLatin1(prefkeys::kSelectedModelId), canonicalUuid(model.id));

    m_engine = new LlamaCPPManager(nullptr, EngineTimings{std::chrono::milliseconds(60000),
                                                          std::chrono::milliseconds(50),
                                                          std::chrono::milliseconds(300)});
    m_state = new AppState(*m_engine);
    ui::registerTypes(*m_state, *m_engine);
    m_composer = m_state->findChild<ComposerState *>();
    QVERIFY(m_composer);
    m_qml = new QQmlApplicationEngine;
    m_qml->addImportPath(QStringLiteral("qrc:/"));
    m_qml->loadData(kHarness);
    QVERIFY(!m_qml->rootObjects().isEmpty());
    m_window = qobject_cast<QQuickWindow *>(m_qml->rootObjects().first());
    QVERIFY(m_window);
    m_window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    m_model = m_window->findChild<ChatMessagesModel *>();
    QVERIFY(m_model);
}

void TestChatScreen::cleanupTestCase()
{
    delete m_qml;
    delete m_state;
    delete m_engine;
    delete m_home;
    qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
}

void TestChatScreen::init()
{
    // every case starts in a conversation of its own, with an empty composer
    QVERIFY(waitUntil([&] { return idle(); }));
    m_state->createNewChat();
    m_composer->setMessageText(QString());
    m_composer->clearAttachments();
}

void TestChatScreen::emptyConversationShowsTheGreeting()
{
    QQuickItem *greeting = byObjectName(QStringLiteral("greeting"));
    QVERIFY(greeting);
    QCOMPARE(greeting->property("text").toString(), QStringLiteral("How can I help you today ?"));
    QVERIFY(!byObjectName(QStringLiteral("messageList")));
    // the composer sits under the greeting, not at the bottom
    QQuickItem *composer = byObjectName(QStringLiteral("composer"));
    QVERIFY(composer->y() < m_window->height() / 2.0 + composer->height());

    script("sleep 300\nout Welcome back\n"
           "err eval time = 80.00 ms / 8 runs (10.00 ms per token, 100.00 tokens per second)\\n\n");
    typeAndSend(QStringLiteral("First words"));
    // at once: the list with the user's message and the typing indicator
    QTRY_VERIFY(byObjectName(QStringLiteral("messageList")));
    QVERIFY(!byObjectName(QStringLiteral("greeting")));
    QTRY_COMPARE(shownBubbles(), (QStringList{"First words", "(typing)"}));
    QTRY_COMPARE(shownBubbles(), (QStringList{"First words", "Welcome back"}));
    // how the reply was made, in one line under it
    QTRY_COMPARE(shownFigures().size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d\\d s to first token · 100\\.0 tokens/s · 8 tokens · "
                                               "llama-completion · Tiny$"))
                 .match(shownFigures().first())
                 .hasMatch(),
             qPrintable(shownFigures().first()));
    QCOMPARE(composer->y() + composer->height(), m_window->height() - 16.0);
}

void TestChatScreen::returnKey_data()
{
    QTest::addColumn<bool>("shift");
    QTest::addColumn<QString>("fieldAfter");
    QTest::addColumn<QStringList>("rowsAfter");
    QTest::newRow("Return sends") << false << QString() << QStringList{"Line one", "Got it"};
    QTest::newRow("Shift+Return breaks the line") << true << QStringLiteral("Line one\ntwo") << QStringList();
}

void TestChatScreen::returnKey()
{
    QFETCH(bool, shift);
    QFETCH(QString, fieldAfter);
    QFETCH(QStringList, rowsAfter);
    script("out Got it\n");
    QQuickItem *field = byObjectName(QStringLiteral("messageField"));
    QVERIFY(field);
    field->forceActiveFocus();
    typeText(QStringLiteral("Line one"));
    QTest::keyClick(m_window, Qt::Key_Return, shift ? Qt::ShiftModifier : Qt::NoModifier);
    if (shift)
        typeText(QStringLiteral("two"));
    QTRY_VERIFY(idle());
    QTRY_COMPARE(rows(), rowsAfter);
    QCOMPARE(field->property("text").toString(), fieldAfter);
    QCOMPARE(m_composer->messageText(), fieldAfter);
    if (!shift) {
        QTRY_COMPARE(shownBubbles(), rowsAfter);
        // the reply hands the focus back to the field
        QTRY_VERIFY(field->hasActiveFocus());
    }
}

// A stopped reply keeps the text that came, marked live while it streamed.
void TestChatScreen::stopWhileStreaming()
{
    script("out  Half an answer\nsleep 8000\n");
    QSignalSpy resets(m_model, &QAbstractItemModel::modelReset);
    typeAndSend(QStringLiteral("Tell me"));
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Stop generation")));
    QVERIFY(!byAccessibleName(QStringLiteral("Send")));
    QTRY_COMPARE(shownBubbles(), (QStringList{"Tell me", "Half an answer"}));
    QCOMPARE(m_model->rowCount(), 2);
    QVERIFY(m_model->index(1).data(ChatMessagesModel::IsLiveRole).toBool());
    click(byAccessibleName(QStringLiteral("Stop generation")));
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Send")));
    const QStringList expected{QStringLiteral("Tell me"), QStringLiteral("Half an answer"), kStopped};
    QTRY_COMPARE(rows(), expected);
    QTRY_COMPARE(shownBubbles(), expected);
    QVERIFY(!m_model->index(m_model->rowCount() - 1).data(ChatMessagesModel::IsLiveRole).toBool());
    QCOMPARE(shownFigures(), QStringList()); // a stopped reply has no figures
    // the whole turn changed the rows one by one, never all at once
    QCOMPARE(resets.count(), 0);
}

void TestChatScreen::sendButtonFollowsTheCurrentConversation()
{
    script("out Busy elsewhere\nsleep 8000\n");
    typeAndSend(QStringLiteral("Long job"));
    const QString busy = m_model->sessionId();
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Stop generation")));

    m_state->createNewChat();
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Send")));
    QCOMPARE(m_model->rowCount(), 0);
    QVERIFY(byObjectName(QStringLiteral("greeting")));

    m_state->selectSessionById(busy);
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Stop generation")));
    QTRY_COMPARE(shownBubbles(), (QStringList{"Long job", "Busy elsewhere"}));
    QVERIFY(m_model->index(1).data(ChatMessagesModel::IsLiveRole).toBool());
    // Escape stops the reply
    QTest::keyClick(m_window, Qt::Key_Escape);
    QTRY_VERIFY(idle());
}

void TestChatScreen::listFollowsTheEnd()
{
    for (int i = 0; i < 30; ++i)
        m_state->addMessage(ChatMessage::make(QStringLiteral("Message %1").arg(i), i % 2 == 0));
    const QString longOne = m_model->sessionId();
    m_state->createNewChat();
    m_state->selectSessionById(longOne);
    QQuickItem *list = byObjectName(QStringLiteral("messageList"));
    QVERIFY(list);
    QTRY_VERIFY(list->property("atYEnd").toBool());
    QVERIFY(list->property("contentHeight").toDouble() > list->height());

    // a long reply streams in: the view keeps its end in sight
    QByteArray lines;
    for (int i = 0; i < 40; ++i)
        lines += "out Line " + QByteArray::number(i) + "\\n\\n\nsleep 15\n";
    script(lines + "sleep 8000\n");
    const double heightBefore = list->property("contentHeight").toDouble();
    typeAndSend(QStringLiteral("Write forty lines"));
    QTRY_VERIFY(m_model->liveText().contains(QLatin1String("Line 39")));
    QTRY_VERIFY(list->property("contentHeight").toDouble() > heightBefore + list->height());
    QTRY_VERIFY(list->property("atYEnd").toBool());
    click(byAccessibleName(QStringLiteral("Stop generation")));
    QTRY_COMPARE(m_model->messageCount(), 33);
    QTRY_VERIFY(list->property("atYEnd").toBool());
}

void TestChatScreen::dropTarget()
{
    const QString file = m_home->writeFile(QStringLiteral("dropped/plan.md"), "# plan");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(m_home->home() + QStringLiteral("/dropped")), QUrl::fromLocalFile(file)});
    const QPoint centre(m_window->width() / 2, m_window->height() / 2);
    QQuickItem *outline = items(root(), [](QQuickItem *i) { return i->objectName() == "dropOutline"; }, false).value(0);
    QVERIFY(outline);

    QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_window, &enter);
    QVERIFY(enter.isAccepted());
    QTRY_COMPARE(outline->opacity(), 1.0);
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(m_window, &leave);
    QTRY_COMPARE(outline->opacity(), 0.0);

    // dropped: the folder is passed over, the file is attached
    QDragEnterEvent again(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_window, &again);
    QDropEvent drop(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_window, &drop);
    QCOMPARE(m_composer->attachedFiles(), QList<QUrl>{QUrl::fromLocalFile(file)});
    QTRY_COMPARE(outline->opacity(), 0.0);
}

void TestChatScreen::fileCards_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("leaveScreen"); // else the card's remove button
    QTest::newRow("pdf") << QStringLiteral("report.pdf") << QStringLiteral("doc.fill") << false;
    QTest::newRow("PDF in capitals") << QStringLiteral("REPORT.PDF") << QStringLiteral("doc.text.fill") << false;
    QTest::newRow("hidden file") << QStringLiteral(".pdf") << QStringLiteral("doc.text.fill") << false;
    QTest::newRow("text, screen left") << QStringLiteral("notes.txt") << QStringLiteral("doc.text.fill") << true;
}

void TestChatScreen::fileCards()
{
    QFETCH(QString, fileName);
    QFETCH(QString, icon);
    QFETCH(bool, leaveScreen);
    QAbstractItemModelTester tester(m_composer->attachments(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QString path = m_home->writeFile(QStringLiteral("files/") + fileName, "content");
    m_composer->addAttachments({QUrl::fromLocalFile(path)});
    QTRY_VERIFY(byObjectName(QStringLiteral("fileCardIcon")));
    QCOMPARE(byObjectName(QStringLiteral("fileCardIcon"))->property("name").toString(), icon);
    QTRY_VERIFY(byAccessibleName(fileName));
    if (leaveScreen) {
        QQuickItem *screen = byObjectName(QStringLiteral("chatView"));
        screen->setVisible(false);
        screen->setVisible(true);
    } else {
        click(byAccessibleName(QStringLiteral("Remove file")));
    }
    QTRY_VERIFY(m_composer->attachedFiles().isEmpty());
    // the card fades out, then the row goes
    QTRY_VERIFY(!byObjectName(QStringLiteral("attachmentRow")));
    QTRY_VERIFY(items(root(), [](QQuickItem *i) { return isType(i, "FileCard"); }, false).isEmpty());
}

void TestChatScreen::alerts_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("viewAfter");
    QTest::newRow("no model, go to models")
        << QStringLiteral("No Model Selected")
        << QStringLiteral("You need to install a model first. You can look in the model library for suggested models.")
        << QStringLiteral("Go to Models") << int(AppView::Models);
    QTest::newRow("no model, cancel") << QStringLiteral("No Model Selected") << QString() << QStringLiteral("Cancel")
                                      << int(AppView::Chat);
    QTest::newRow("file too large") << QStringLiteral("File Too Large")
                                    << QStringLiteral("big.bin (5.2 MB) is larger than the 5 MB attachment limit "
                                                      "and was not attached.")
                                    << QStringLiteral("OK") << int(AppView::Chat);
}

void TestChatScreen::alerts()
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
    const auto shownText = [&](const QString &text) {
        return !items(root(), [&](QQuickItem *i) { return i->property("text").toString() == text; }).isEmpty();
    };
    QTRY_VERIFY(shownText(title));
    if (!message.isEmpty())
        QVERIFY(shownText(message));
    const auto buttons = items(root(), [&](QQuickItem *i) {
        return i->inherits("QQuickAbstractButton") && i->property("text").toString() == button;
    });
    QCOMPARE(buttons.size(), 1);
    click(buttons.first());
    QTRY_VERIFY(!shownText(title));
    QVERIFY(!m_composer->showingNoModelAlert());
    QVERIFY(!m_composer->showingAttachmentAlert());
    QCOMPARE(int(m_state->currentView()), viewAfter);
}

// Asking again, switching answers, editing, deleting and renaming reach the
// lists as row changes that Qt's model tester accepts, never as resets; the
// reply asked for again streams in its own row.
void TestChatScreen::messageActionsRowByRow()
{
    ChatSessionsModel sessions;
    sessions.setAppState(m_state);
    ModelsListModel models;
    models.setAppState(m_state);
    for (QAbstractItemModel *model : std::initializer_list<QAbstractItemModel *>{m_model, &sessions, &models})
        new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
    QSignalSpy resets(m_model, &QAbstractItemModel::modelReset);
    const auto id = [&](int row) { return m_model->index(row).data(ChatMessagesModel::MessageIdRole).toString(); };
    const auto role = [&](int row, int r) { return m_model->index(row).data(r).toInt(); };

    script("out First\n");
    typeAndSend(QStringLiteral("Q"));
    QTRY_COMPARE(rows(), (QStringList{"Q", "First"}));
    QTRY_VERIFY(m_state->canRegenerate());
    script("out Second\nsleep 8000\n");
    click(byAccessibleName(QStringLiteral("Regenerate")));
    QVERIFY(!m_state->canRegenerate() && !m_state->regenerateLastReply());
    QTRY_COMPARE(rows(), (QStringList{"Q", "Second"}));
    QVERIFY(m_model->index(1).data(ChatMessagesModel::IsLiveRole).toBool());
    m_state->stopCurrentReply();
    QTRY_COMPARE(rows(), (QStringList{"Q", "Second", kStopped}));
    QCOMPARE(role(1, ChatMessagesModel::VersionCountRole), 2);
    QCOMPARE(role(1, ChatMessagesModel::ShownVersionRole), 1);
    QTRY_VERIFY(byObjectName(QStringLiteral("versionLabel")));
    QCOMPARE(byObjectName(QStringLiteral("versionLabel"))->property("text").toString(), QStringLiteral("2/2"));
    click(byAccessibleName(QStringLiteral("Previous answer")));
    QCOMPARE(rows(), (QStringList{"Q", "First", kStopped}));
    QTRY_COMPARE(byObjectName(QStringLiteral("versionLabel"))->property("text").toString(), QStringLiteral("1/2"));

    // the pencil on hover edits in place; Save & send asks again
    script("out Better\n");
    WindowDriver(m_window).hover(items(root(), [](QQuickItem *i) {
        return isType(i, "MessageView") && i->property("isFromUser").toBool();
    }).value(0));
    QTRY_VERIFY(byAccessibleName(QStringLiteral("Edit message")));
    click(byAccessibleName(QStringLiteral("Edit message")));
    QTRY_VERIFY(byObjectName(QStringLiteral("editField")));
    QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
    typeText(QStringLiteral("Q2"));
    click(WindowDriver(m_window).control(QStringLiteral("Save & send")));
    QTRY_COMPARE(rows(), (QStringList{"Q2", "Better"}));
    QTRY_VERIFY(idle());
    QVERIFY(m_state->deleteMessage(id(1)));
    QCOMPARE(rows(), QStringList{"Q2"});
    QVERIFY(m_state->renameSession(m_model->sessionId(), QStringLiteral(" Mine ")));
    QCOMPARE(sessions.index(0).data(ChatSessionsModel::TitleRole).toString(), QStringLiteral("Mine"));
    QCOMPARE(resets.count(), 0);
}

QTEST_MAIN(TestChatScreen)
#include "tst_chat_screen.moc"
