// The window shell driven as a user would: the sidebar and its search, the conversation rows and their menu, the top
// bar's buttons and the appearance.
#include "ui/chat_sessions_model.h"
#include "ui/window_driver.h"

#include <QAbstractItemModelTester>
#include <QClipboard>
#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

QStringList titles(const QAbstractItemModel *model)
{
    QStringList out;
    for (int row = 0; row < model->rowCount(); ++row)
        out << model->data(model->index(row, 0), ChatSessionsModel::TitleRole).toString();
    return out;
}

// Where the keyboard is: the focused item's name (its own or its nearest named parent's); a list's with its current
// row, as "list/row".
QString focusName(QQuickWindow *window)
{
    QQuickItem *focused = window->activeFocusItem();
    QString name;
    for (QQuickItem *item = focused; item && name.isEmpty(); item = item->parentItem()) {
        name = accessibleName(item);
        if (name.isEmpty() && item->inherits("QQuickAbstractButton"))
            name = item->property("text").toString();
        if (name.isEmpty())
            name = item->objectName();
    }
    for (const QObject *popup : window->findChildren<QObject *>()) {
        // in an open menu or dialog but on none of its entries: the popup's name
        const auto *box = popup->inherits("QQuickPopup") && popup->property("opened").toBool()
                              ? popup->property("contentItem").value<QQuickItem *>() : nullptr;
        while (box && box->parentItem() && !box->parentItem()->inherits("QQuickOverlay"))
            box = box->parentItem();
        if (name.isEmpty() && box && (box == focused || box->isAncestorOf(focused)))
            return popup->objectName();
    }
    const QQuickItem *content = focused ? focused->parentItem() : nullptr;
    const QQuickItem *list = content ? content->parentItem() : nullptr;
    if (list && list->inherits("QQuickListView") && !list->objectName().isEmpty()
        && list->property("currentItem").value<QQuickItem *>() == focused)
        return list->objectName() + QLatin1Char('/') + list->property("currentIndex").toString();
    return name;
}

} // namespace

class TestShell : public QObject, public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(makeHome(QStringLiteral(FAKE_LLAMA_COMPLETION)) && openWindow());
        QTRY_VERIFY(m_engine->isLlamaCPPVerified());
        m_state->setCurrentView(AppView::Chat);
        QTRY_VERIFY(control(QStringLiteral("sessionList")));
        // Once shown, the chat screen hands the keyboard focus to its message field; nothing is typed before that has
        // happened.
        QTRY_VERIFY(m_window->activeFocusItem()
                    && m_window->activeFocusItem()->objectName() == QLatin1String("messageField"));
        // The list reports every change row by row, as Qt's model tester checks.
        new QAbstractItemModelTester(listModel(), QAbstractItemModelTester::FailureReportingMode::QtTest, listModel());
    }

    void init()
    {
        // Every case starts on the chat screen with no conversations and an empty search.
        while (!m_state->chatSessions().isEmpty())
            m_state->deleteSession(m_state->chatSessions().first());
        m_state->setCurrentView(AppView::Chat);
        if (QQuickItem *search = control(QStringLiteral("searchField")))
            search->setProperty("text", QString());
        // the search field joins the Tab order only once clicked
        control(QStringLiteral("sidebar"))->setProperty("allowSearchFocus", false);
    }

    void newChatAndTappedRowsAreSelected()
    {
        const auto selected = [&](const QString &row) { // the row's own flag, unknown while it is not made
            return control(row) ? control(row)->property("selected") : QVariant();
        };
        addChat(QStringLiteral("Older conversation"));
        click(control(QStringLiteral("New chat")));
        QTRY_COMPARE(titles(listModel()), QStringList({"New Chat", "Older conversation"}));
        QTRY_VERIFY(selected("New Chat") == true && selected("Older conversation") == false);
        // a row tapped on another screen is selected and brings the chat back; both rows are told
        m_state->setCurrentView(AppView::Settings);
        click(waitFor(QStringLiteral("Older conversation")));
        QTRY_COMPARE(m_state->currentSessionTitle(), QStringLiteral("Older conversation"));
        QCOMPARE(m_state->currentView(), AppView::Chat);
        QTRY_VERIFY(selected("Older conversation") == true && selected("New Chat") == false);
    }

    void searchFiltersAndRestores_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nothing matches") << "zzz" << QStringList();
        QTest::newRow("inside a word") << "ead" << QStringList({"Baking bread"});
        QTest::newRow("any letter case") << "RUST" << QStringList({"the rust belt", "Rust lifetimes"});
    }

    void searchFiltersAndRestores()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, expected);
        addChat(QStringLiteral("Rust lifetimes"));
        addChat(QStringLiteral("Baking bread"));
        addChat(QStringLiteral("the rust belt"));
        const QStringList all = {"the rust belt", "Baking bread", "Rust lifetimes"};
        QAbstractItemModel *model = listModel();
        QSignalSpy resets(model, &QAbstractItemModel::modelReset);

        QQuickItem *field = control(QStringLiteral("searchField"));
        QQuickItem *sidebar = control(QStringLiteral("sidebar"));
        // a new chat asks for the message field's focus a moment later; the search never takes it by itself
        QTest::qWait(300);
        QVERIFY(!field->hasActiveFocus() && !sidebar->property("allowSearchFocus").toBool());
        click(field);
        QTRY_VERIFY(field->hasActiveFocus());
        type(search);
        QTRY_COMPARE(titles(model), expected);
        QCOMPARE(control(QStringLiteral("sessionList"))->property("count").toInt(), int(expected.size()));

        QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_window, Qt::Key_Backspace);
        QTRY_COMPARE(titles(model), all);
        QCOMPARE(resets.count(), 0); // rows come and go one by one

        // A reply that ends asks for the message field, but not away from the search the user is typing into; otherwise
        // the message field takes it.
        emit m_state->messageFieldFocusRequested();
        QVERIFY(field->hasActiveFocus());
        QQuickItem *messageField = control(QStringLiteral("messageField"));
        click(messageField);
        m_window->contentItem()->forceActiveFocus();
        emit m_state->messageFieldFocusRequested();
        QTRY_VERIFY(messageField->hasActiveFocus());
    }

    // Rename in place from the row's right-click menu (Escape cancels, a blank title is refused, Enter saves), Ctrl+E
    // opens the file chooser, a reply's Copy gives its Markdown source, a message's menu deletes just it and the row's
    // options button deletes the conversation.
    void conversationActionsFromMenusAndKeys()
    {
        addChat(QStringLiteral("Old name"));
        m_state->addMessage(ChatMessage::make(QStringLiteral("Question"), true));
        m_state->addMessage(ChatMessage::assistant(QStringLiteral("**Bold** answer"), MessageKind::Reply));
        const auto rename = [&](const QString &keys) {
            click(waitFor(m_state->currentSessionTitle()), Qt::RightButton);
            click(waitFor(QStringLiteral("Rename")));
            QTRY_VERIFY(m_window->activeFocusItem() && m_window->activeFocusItem()->objectName() == "renameField");
            QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
            type(keys.chopped(1));
            QTest::keyClick(m_window, keys.endsWith('\e') ? Qt::Key_Escape : Qt::Key_Return);
        };
        rename(QStringLiteral("Other\e"));
        QTRY_VERIFY(!control(QStringLiteral("renameField")));
        QCOMPARE(m_state->currentSessionTitle(), QStringLiteral("Old name"));
        rename(QStringLiteral("   \n"));
        QVERIFY(control(QStringLiteral("renameField"))); // refused: still editing
        QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
        type(QStringLiteral("New name"));
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_COMPARE(titles(listModel()), QStringList{"New name"});
        QTRY_VERIFY(!control(QStringLiteral("renameField")));

        QTest::keyClick(m_window, Qt::Key_E, Qt::ControlModifier);
        QObject *chooser = nullptr;
        QTRY_VERIFY((chooser = m_window->findChild<QObject *>(QStringLiteral("exportDialog")))
                    && chooser->property("visible").toBool());
        QVERIFY(chooser->property("selectedFile").toUrl().toLocalFile().endsWith("/New name.md"));
        QVERIFY(QMetaObject::invokeMethod(chooser, "reject"));
        QTRY_VERIFY(!chooser->property("visible").toBool());

        const auto bubble = [&](const QString &text) {
            return items(root(), [&](QQuickItem *i) {
                       return isType(i, "MessageView") && i->property("content") == text;
                   }).value(0);
        };
        QTRY_VERIFY(bubble(QStringLiteral("**Bold** answer")));
        hover(bubble(QStringLiteral("**Bold** answer")));
        click(waitFor(QStringLiteral("Copy message")));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("**Bold** answer"));
        QTRY_VERIFY(bubble(QStringLiteral("Question")));
        click(bubble(QStringLiteral("Question")), Qt::RightButton);
        click(waitFor(QStringLiteral("Delete")));
        QTRY_COMPARE(m_state->chatMessages().size(), 1);
        QCOMPARE(m_state->chatMessages().first().content, QStringLiteral("**Bold** answer"));

        // the row's options button opens the menu that deletes the conversation, row by row
        addChat(QStringLiteral("Delete me"));
        QSignalSpy resets(listModel(), &QAbstractItemModel::modelReset);
        click(control(QStringLiteral("Chat options"), waitFor(QStringLiteral("Delete me"))));
        click(waitFor(QStringLiteral("Delete Chat")));
        QTRY_COMPARE(titles(listModel()), QStringList({"New name"}));
        QCOMPARE(resets.count(), 0);
        QTRY_VERIFY(!control(QStringLiteral("Delete Chat"))); // the menu closed
    }

    void keyboardMovesThroughWindowAndMenus_data()
    {
        QTest::addColumn<QString>("from"); // focused as by Tab
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("focused"); // after each key
        // what the keys chose: the clipboard's text, the selected model's name
        QTest::addColumn<QString>("chosen");
        // the current message's code block has its Copy button in the Tab order
        const QStringList tabs(11, QStringLiteral("Tab"));
        QTest::newRow("Tab goes round the window")
            << "Send a message" << tabs
            << QStringList{"Send", "New chat", "sessionList/0", "Hide sidebar", "Switch to Light Mode", "Settings",
                           "messageList/1", "Copy", "Attach files", "Send a message", "Send"} << QString();
        QTest::newRow("Shift+Tab goes back, Space copies the code")
            << "New chat" << QStringList{"Shift+Backtab", "Shift+Backtab", "Shift+Backtab", "Shift+Backtab", "Space",
                            "Shift+Backtab"}
            << QStringList{"Send", "Send a message", "Attach files", "Copy", "Copied!", "messageList/1"} << "ls\n";
        QTest::newRow("conversation menu, Escape, Rename")
            << "sessionList" << QStringList{"Shift+F10", "Down", "Escape", "Down", "Menu", "Down", "Up", "Return"}
            << QStringList{"Rename", "Export…", "sessionList/0", "sessionList/0", "Rename", "Export…", "Rename",
                           "Conversation title"} << QString();
        QTest::newRow("message menu, Escape, Copy")
            << "Settings" << QStringList{"Tab", "Menu", "Escape", "Up", "Shift+F10", "Down", "Up", "Return"}
            << QStringList{"messageList/1", "Copy", "messageList/1", "messageList/0", "Copy", "Edit", "Copy",
                           "messageList/0"} << "Question";
        QTest::newRow("message menu, Edit, Escape")
            << "Settings" << QStringList{"Tab", "Up", "Menu", "Down", "Return", "Escape", "Shift+Backtab", "Tab"}
            << QStringList{"messageList/1", "messageList/0", "Copy", "Edit", "Edit message text", "messageList/0",
                           "Settings", "messageList/0"} << QString();
        QTest::newRow("model list, select and options")
            << "Add Model"
            << QStringList{"Tab", "Down", "Return", "Shift+F10", "Escape", "Tab", "Space", "Down", "Escape"}
            << QStringList{"modelList/0", "modelList/1", "modelList/1", "Model Details", "modelList/1", "Model options",
                           "Model Details", "Delete Model", "Model options"} << "Second";
    }

    // Tab and Shift+Tab move through the sidebar, the top bar, the messages and the composer; the lists' current rows
    // open their menus from the keyboard, and the focus ring is on each stop, menu entries included.
    void keyboardMovesThroughWindowAndMenus()
    {
        QFETCH(QString, from);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, focused);
        QFETCH(QString, chosen);
        addChat(QStringLiteral("Old name"));
        m_state->addMessage(ChatMessage::make(QStringLiteral("Question"), true));
        m_state->addMessage(ChatMessage::assistant(QStringLiteral("Answer:\n```\nls\n```"), MessageKind::Reply));
        QGuiApplication::clipboard()->clear();
        if (from == u"Add Model") {
            for (const char *name : {"First", "Second"}) {
                AIModel model = AIModel::make(QString::fromLatin1(name), QStringLiteral("Local File"));
                model.isDownloaded = true;
                m_state->addModel(model);
            }
            m_state->setCurrentView(AppView::Models);
        }
        QTest::qWait(300); // the new chat's own focus request passes first
        QTRY_VERIFY(control(from));
        control(from)->forceActiveFocus(Qt::TabFocusReason);
        const QQuickItem *ring = m_window->findChild<QQuickItem *>(QStringLiteral("focusRing"));
        for (qsizetype i = 0; i < keys.size(); ++i) {
            const QKeyCombination key = QKeySequence(keys.at(i))[0];
            QTest::keyClick(m_window, key.key(), key.keyboardModifiers());
            QTRY_COMPARE(focusName(m_window), focused.at(i));
            // the ring is on the focused control or the list's current row
            QTRY_VERIFY2(ring->isVisible() && ring->parentItem() == m_window->activeFocusItem(),
                         qPrintable(focused.at(i)));
        }
        QCOMPARE(QGuiApplication::clipboard()->text() + m_state->selectedModelName(), chosen);
        QTest::keyClick(m_window, Qt::Key_Escape);
        while (!m_state->downloadedModels().isEmpty())
            m_state->deleteModel(m_state->downloadedModels().first());
    }

    void topBarButtonsToggleSidebarAndSettings()
    {
        // Settings and back; Ctrl+N starts a chat from any screen
        for (const auto &[view, shown, hidden] : {std::tuple(AppView::Settings, "settingsView", "chatView"),
                                                  std::tuple(AppView::Chat, "chatView", "settingsView")}) {
            click(control(QStringLiteral("Settings")));
            QCOMPARE(m_state->currentView(), view);
            QTRY_VERIFY(control(QString::fromLatin1(shown)) && !control(QString::fromLatin1(hidden)));
        }
        addChat(QStringLiteral("Earlier"));
        m_state->setCurrentView(AppView::Settings);
        QTest::keyClick(m_window, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(m_state->currentView(), AppView::Chat);
        QCOMPARE(m_state->currentSessionTitle(), QStringLiteral("New Chat"));

        QQuickItem *button = control(QStringLiteral("Hide sidebar"));
        QQuickItem *content = control(QStringLiteral("mainContentArea"));
        QCOMPARE(content->x(), 280.0);
        // the sidebar's title and the top bar's icons share one line
        const auto middle = [](QQuickItem *item) { return item->mapToScene(QPointF(0, item->height() / 2)).y(); };
        QCOMPARE(middle(shownText(QStringLiteral("Chats"))), middle(button));

        click(button);
        QTRY_VERIFY(!control(QStringLiteral("sidebar")));
        QTRY_COMPARE(content->x(), 0.0);
        QCOMPARE(content->width(), qreal(m_window->width()));
        // the button moved with the content area; pointing at it again shows the new action as its tooltip
        hover(button);
        QTRY_VERIFY(shownText(QStringLiteral("Show sidebar")));
        click(button);
        QTRY_COMPARE(content->x(), 280.0);
    }

    void themeToggleSwitchesPersistsAndPaints()
    {
        // A point of the top bar between its buttons shows the window's background; the sidebar's bottom reads apart.
        const auto backgroundAt = [this] {
            QQuickItem *bar = control(QStringLiteral("topBar"));
            const QPointF point = bar->mapToScene(QPointF(bar->width() / 2, 3));
            const QImage image = m_window->grabWindow();
            const qreal ratio = image.devicePixelRatio();
            if (image.pixelColor(int(140 * ratio), image.height() - 2) == image.pixelColor(int(point.x() * ratio), 0))
                return QColor(); // one flat sheet
            return image.pixelColor(int(point.x() * ratio), int(point.y() * ratio));
        };
        QCOMPARE(backgroundAt(), QColor(Qt::black));
        const QString light = QStringLiteral("Switch to Light Mode"), dark = QStringLiteral("Switch to Dark Mode");
        for (const auto &[label, mode, background, next] : {std::tuple(light, AppearanceMode::Light, Qt::white, dark),
                                                            std::tuple(dark, AppearanceMode::Dark, Qt::black, light)}) {
            click(control(label));
            QCOMPARE(m_state->appearanceMode(), mode);
            LlamaCPPManager engine; // what a restart finds
            QCOMPARE(AppState(engine).appearanceMode(), mode);
            QTRY_COMPARE(backgroundAt(), QColor(background));
            // the toggle now offers the other mode, in its label and its tooltip
            QVERIFY(control(next) && !control(label));
            QTRY_VERIFY(shownText(next));
        }
    }

private:
    QAbstractItemModel *listModel() const
    {
        QQuickItem *list = control(QStringLiteral("sessionList"));
        return list ? list->property("model").value<QAbstractItemModel *>() : nullptr;
    }

    // A conversation titled as given, made current (and so listed first).
    void addChat(const QString &title)
    {
        m_state->createNewChat();
        m_state->updateTitleFromFirstMessage(title);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
