// Renders the screens offscreen and writes what a user would see as PNG
// files, each in dark and light appearance: the chat (an empty conversation,
// a conversation with a code block and attachments, a reply streaming in, a
// tooltip, its alerts, the focus ring on a control and on a menu entry),
// the models screen with a download under way, empty,
// with a model's details and its delete confirmation, the model picker's
// four tabs and its alerts, settings with its Replies section in two modes,
// the welcome screen and its dialog for a server elsewhere, and the
// installation and setup screens.
//
//   screenshots [output folder] [width x height]   (default: ./screenshots 1100x720)
//
// Each shot is also checked for text cut off by a box that clips it (text
// scrolled out of a list is not); the program names such text and fails.
// It runs in a private temporary home, with the fake llama-completion
// streaming the reply and a loopback server of ours listing a server's models.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/model_picker_state.h"
#include "app/reply_engines.h"
#include "common/fake_http_server.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "core/sessions_store.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"
#include "ui/catalog_state.h"
#include "ui/ui_setup.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>
#include <functional>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

namespace {

// The chat screen alone, for when the main window does not show it.
const QByteArray kHarness = R"(
import QtQuick
import Quorvane
Window {
    width: 1100
    height: 720
    visible: true
    color: Theme.windowBackground
    ChatView { anchors.fill: parent }
}
)";

const char *const kQuestion = "Can you show me how to read a file line by line in Python? The two files attached "
                              "are what I have so far.";

const char *const kAnswer =
    "Sure. Opening the file in a `with` block closes it for you, and iterating over the file object yields one "
    "line at a time:\n\n"
    "```python\n"
    "def read_lines(path):\n"
    "    with open(path, encoding=\"utf-8\") as handle:\n"
    "        for number, line in enumerate(handle, start=1):\n"
    "            print(f\"{number:4}: {line.rstrip()}\")\n"
    "\n"
    "read_lines(\"notes.txt\")\n"
    "```\n\n"
    "This reads **one line at a time**, so it also works for files larger than your memory.";

const char *const kStreamScript = "out Here is a short overview of what the report says.\\n\\n\n"
                                  "sleep 50\n"
                                  "out **Findings:** the numbers in the second quarter rose by\n"
                                  "sleep 60000\n";

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QQuickItem *findChatView(QQuickItem *item)
{
    if (!item)
        return nullptr;
    if (QByteArray(item->metaObject()->className()).startsWith("ChatView"))
        return item;
    for (QQuickItem *child : item->childItems()) {
        if (QQuickItem *found = findChatView(child))
            return found;
    }
    return nullptr;
}

bool isTextItem(const QQuickItem *item)
{
    return item->inherits("QQuickText") || item->inherits("QQuickTextEdit") || item->inherits("QQuickTextInput");
}

// The shown texts under item that a clipping box (or the window) cuts off;
// the content of a scrolling view may pass its edges.
void clippedTexts(const QQuickItem *item, const QRectF &window, QStringList &out)
{
    if (!item->isVisible() || item->opacity() == 0)
        return;
    const QString text = isTextItem(item) ? item->property("text").toString() : QString();
    if (!text.trimmed().isEmpty() && item->width() > 0) {
        const QRectF drawn = item->mapRectToScene(
            QRectF(0, 0, std::max(item->width(), item->property("contentWidth").toReal()),
                   std::max(item->height(), item->property("contentHeight").toReal())));
        QRectF bounds = drawn.united(window);
        bool scrolled = false;
        for (const QQuickItem *up = item->parentItem(); up && !scrolled; up = up->parentItem()) {
            scrolled = up->parentItem() && up->parentItem()->inherits("QQuickFlickable");
            if (up->clip() && !scrolled)
                bounds &= up->mapRectToScene(QRectF(0, 0, up->width(), up->height()));
        }
        if (!scrolled)
            bounds &= window;
        // a line of plain text wider than its box runs into what is beside it
        const bool overruns = item->inherits("QQuickText") && item->property("wrapMode").toInt() == 0
                              && item->property("contentWidth").toReal() > item->width() + 1;
        if (overruns || !bounds.adjusted(-1, -1, 1, 1).contains(drawn))
            out << text.left(60).simplified();
    }
    for (const QQuickItem *child : item->childItems())
        clippedTexts(child, window, out);
}

bool grab(QQuickWindow *window, const QString &folder, const QString &name)
{
    pause(700); // scrolls and fades settle
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    const QImage image = window->grabWindow();
    if (image.isNull() || !image.save(path)) {
        std::fprintf(stderr, "screenshots: could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    QStringList clipped;
    clippedTexts(window->contentItem(), QRectF(QPointF(0, 0), window->size()), clipped);
    for (const QString &text : clipped)
        std::fprintf(stderr, "screenshots: %s: text cut off: \"%s\"\n", qPrintable(name), qPrintable(text));
    return clipped.isEmpty();
}

// A conversation with attachments and a code block, stored before start-up.
ChatSession sampleConversation(const TempHome &home)
{
    ChatSession session = ChatSession::make();
    session.title = QStringLiteral("Reading a file line by line");
    QList<AttachedFile> files;
    for (const QString &name : {QStringLiteral("reader.py"), QStringLiteral("notes.txt")}) {
        const QString path = home.writeFile(QStringLiteral("Documents/") + name, "print('hello')\n");
        files.append({QUuid::createUuid(), name, path, QFileInfo(name).suffix(), QFileInfo(path).size()});
    }
    session.messages.append(ChatMessage::make(QString::fromUtf8(kQuestion), true, files));
    ChatMessage answer = ChatMessage::make(QString::fromUtf8(kAnswer), false);
    answer.figures = {0.42, 18.3, 245, QStringLiteral("llama-completion"), QStringLiteral("Tiny")};
    answer.kind = MessageKind::Reply;
    // asked for again once, the second answer shown: the switcher reads 2/2
    const QString first = answer.content;
    answer.content = QStringLiteral("An earlier answer.");
    answer.addVersion({first, answer.timestamp, answer.figures});
    session.messages.append(answer);
    return session;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"))
                               .absolutePath();
    const QStringList size = QString::fromLatin1(argc > 2 ? argv[2] : "1100x720").split(QLatin1Char('x'));
    const QSize windowSize(size.value(0).toInt(), size.value(1).toInt());
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", qPrintable(folder));
        return 1;
    }

    TempHome home;
    // no secret store: the demonstration key never reaches the user's keyring
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(home.home()) + "/no-bus");
    home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION));
    AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
    model.isDownloaded = true;
    model.filePath = home.writeFile(QStringLiteral("tiny.gguf"), "GGUF");
    Preferences().setData(QString::fromLatin1(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
    Preferences().setString(QString::fromLatin1(prefkeys::kSelectedModelId), canonicalUuid(model.id));
    Preferences().setBool(QString::fromLatin1(prefkeys::kDidCompleteOnboarding), true);
    const ChatSession sample = sampleConversation(home);
    SessionsStore::standard().save(sample);

    LlamaCPPManager engine;
    AppState state(engine);
    ui::registerTypes(state, engine);
    auto *composer = state.findChild<ComposerState *>();
    state.setCurrentView(AppView::Chat);

    QQmlApplicationEngine qml;
    QQuickWindow *window = nullptr;
    if (ui::loadMainWindow(qml)) {
        window = qobject_cast<QQuickWindow *>(qml.rootObjects().first());
        pause(300);
        if (window && !findChatView(window->contentItem())) {
            window->close();
            window = nullptr;
        }
    }
    if (!window) {
        // the window's shell does not host the chat screen (yet): show it alone
        qml.loadData(kHarness);
        if (qml.rootObjects().isEmpty())
            return 1;
        window = qobject_cast<QQuickWindow *>(qml.rootObjects().last());
    }
    if (!window)
        return 1;
    window->resize(windowSize.isEmpty() ? QSize(1100, 720) : windowSize);

    bool ok = true;
    const QList<QPair<AppearanceMode, QString>> appearances = {{AppearanceMode::Dark, QStringLiteral("dark")},
                                                               {AppearanceMode::Light, QStringLiteral("light")}};
    state.createNewChat();
    for (const auto &[mode, suffix] : appearances) {
        state.setAppearanceMode(mode);
        ok &= grab(window, folder, QStringLiteral("chat-empty-") + suffix);
    }

    // the conversation, with two files waiting in the composer
    state.selectSessionById(canonicalUuid(sample.id));
    composer->addAttachments({QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/report.pdf"), "%PDF")),
                              QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/data.csv"), "a,b\n"))});
    for (const auto &[mode, suffix] : appearances) {
        state.setAppearanceMode(mode);
        ok &= grab(window, folder, QStringLiteral("chat-conversation-") + suffix);
    }
    composer->clearAttachments();

    qputenv("FAKE_LLAMA_SCRIPT_TEXT", kStreamScript);
    state.createNewChat();
    composer->setMessageText(QStringLiteral("Summarise the attached report, please."));
    composer->sendMessage();
    const QUuid sid = state.currentSession()->id;
    if (!waitUntil([&] { return state.sessionStreamingContent().value(sid).contains(QLatin1String("rose")); },
                   10000)) {
        std::fprintf(stderr, "screenshots: the reply did not stream\n");
        ok = false;
    }
    for (const auto &[mode, suffix] : appearances) {
        state.setAppearanceMode(mode);
        ok &= grab(window, folder, QStringLiteral("chat-streaming-") + suffix);
    }
    state.stopCurrentReply();
    waitUntil([&] { return !engine.hasProcess(sid); }, 10000);

    const auto shoot = [&](const QString &name) {
        for (const auto &[mode, suffix] : appearances) {
            state.setAppearanceMode(mode);
            ok &= grab(window, folder, name + QLatin1Char('-') + suffix);
        }
    };
    // A dialog (named, under root) opened in each appearance: what a popup
    // shows takes up the appearance when it opens.
    const auto shootDialog = [&](QObject *root, const char *dialog, const QString &name) {
        QObject *found = root ? root->findChild<QObject *>(QString::fromLatin1(dialog)) : nullptr;
        if (!found) {
            std::fprintf(stderr, "screenshots: no %s\n", dialog);
            ok = false;
            return;
        }
        QMetaObject::invokeMethod(found, "close");
        for (const auto &[mode, suffix] : appearances) {
            state.setAppearanceMode(mode);
            pause(300);
            QMetaObject::invokeMethod(found, "open");
            ok &= grab(window, folder, name + QLatin1Char('-') + suffix);
            QMetaObject::invokeMethod(found, "close");
        }
    };

    // the actions: the reply hovered, the question edited in place, the
    // conversation renamed in the sidebar; then a message's menu
    state.selectSessionById(canonicalUuid(sample.id));
    pause(500);
    QQuickItem *question = nullptr, *reply = nullptr, *row = nullptr;
    std::function<void(QQuickItem *)> visit = [&](QQuickItem *item) {
        const QByteArray type = item->metaObject()->className();
        if (type.startsWith("MessageView") && item->isVisible())
            (item->property("isFromUser").toBool() ? question : reply) = item;
        if (type.startsWith("ChatSessionRow") && item->property("sessionTitle") == sample.title)
            row = item;
        for (QQuickItem *child : item->childItems())
            visit(child);
    };
    visit(window->contentItem());
    if (question && reply && row) {
        QTest::mouseMove(window, reply->mapToScene(QPointF(80, reply->height() / 2)).toPoint());
        QMetaObject::invokeMethod(question, "startEditing");
        QMetaObject::invokeMethod(row, "startRenaming");
        shoot(QStringLiteral("chat-actions"));
        question->setProperty("editing", false);
        if (auto *field = question->findChild<QQuickItem *>(QStringLiteral("editField")))
            field->setFocus(false); // hidden, it keeps the focus otherwise
        row->setProperty("renaming", false);
        QObject *menu = reply->findChild<QObject *>(QStringLiteral("messageMenu"));
        if (menu)
            QMetaObject::invokeMethod(menu, "open");
        shoot(QStringLiteral("chat-menu"));
        if (menu)
            QMetaObject::invokeMethod(menu, "close");
        // the focus ring: on the reply's code Copy button, two Tabs after the
        // top bar's Settings button; then on the reply's menu opened by key
        if (auto *settings = window->findChild<QQuickItem *>(QStringLiteral("settingsButton"))) {
            window->requestActivate();
            ok &= QTest::qWaitForWindowActive(window);
            settings->forceActiveFocus(Qt::TabFocusReason);
            QTest::keyClick(window, Qt::Key_Tab);
            pause(300);
            QTest::keyClick(window, Qt::Key_Tab);
            shoot(QStringLiteral("focus-ring"));
            QMetaObject::invokeMethod(reply, "openMenu", Q_ARG(QVariant, true));
            shoot(QStringLiteral("focus-ring-menu"));
            QTest::keyClick(window, Qt::Key_Escape);
        }
    } else {
        std::fprintf(stderr, "screenshots: the conversation's rows did not show\n");
        ok = false;
    }

    // a tooltip, then the chat screen's alerts: no model, a file too large,
    // a conversation that could not be imported
    if (QQuickItem *button = window->findChild<QQuickItem *>(QStringLiteral("sidebarButton"))) {
        QTest::mouseMove(window, button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
        pause(700);
        shoot(QStringLiteral("chat-tooltip"));
        QTest::mouseMove(window, QPoint(window->width() / 2, window->height() - 5));
    }
    shootDialog(window, "noModelAlert", QStringLiteral("alert-no-model"));
    QFile large(home.home() + QStringLiteral("/Documents/recording.wav"));
    if (large.open(QIODevice::WriteOnly) && large.resize(6000000)) {
        large.close();
        composer->addAttachments({QUrl::fromLocalFile(large.fileName())});
        shootDialog(window, "attachmentAlert", QStringLiteral("alert-file-too-large"));
    }
    if (QObject *exchange = window->findChild<QObject *>(QStringLiteral("conversationExchange"))) {
        const QString junk = home.writeFile(QStringLiteral("Documents/old-chat.json"), "{ not json");
        QMetaObject::invokeMethod(exchange, "importUrls",
                                  Q_ARG(QVariant, QVariant(QVariantList{QUrl::fromLocalFile(junk)})));
        shootDialog(window, "exchangeAlert", QStringLiteral("alert-import"));
    }

    // the library with a second model on its way
    AIModel coming = AIModel::make(QStringLiteral("Qwen 2.5 7B Instruct"),
                                   QStringLiteral("https://huggingface.co/example/resolve/main/qwen.gguf"));
    coming.size = QStringLiteral("Downloading..."); // as the picker sets it
    state.addModel(coming);
    state.applyDownloadProgress(coming.id, 0.42, 1974000000, 4700000000, 23.4);
    state.setCurrentView(AppView::Models);
    shoot(QStringLiteral("models"));
    pause(300);
    QQuickItem *modelRow = nullptr;
    std::function<void(QQuickItem *)> findRow = [&](QQuickItem *item) {
        if (!modelRow && QByteArray(item->metaObject()->className()).startsWith("ModelRowView"))
            modelRow = item;
        for (QQuickItem *child : item->childItems())
            findRow(child);
    };
    findRow(window->contentItem());
    shootDialog(modelRow, "modelDetails", QStringLiteral("models-details"));
    shootDialog(modelRow, "deleteModelConfirm", QStringLiteral("models-delete"));

    // the picker over the settings screen, one tab after another, rating
    // the catalog for a typical laptop
    DeviceInfo laptop;
    laptop.totalRAMGB = 16;
    laptop.chipDescription = QStringLiteral("Intel(R) Core(TM) i7-1165G7 @ 2.80GHz");
    laptop.inferenceMode = QStringLiteral("CPU only");
    state.findChild<CatalogState *>()->setDevice(laptop);
    state.setCurrentView(AppView::Settings);
    shoot(QStringLiteral("settings"));
    pause(300);
    QObject *picker = window->findChild<QObject *>(QStringLiteral("modelPicker"));
    if (picker && QMetaObject::invokeMethod(picker, "open")) {
        const QStringList tabs = {QStringLiteral("library"), QStringLiteral("suggested"), QStringLiteral("custom-url"),
                                  QStringLiteral("local-file")};
        for (int tab = 0; tab < tabs.size(); ++tab) {
            picker->setProperty("selectedTab", tab);
            shoot(QStringLiteral("picker-") + tabs.at(tab));
        }
        // its alert for a link that is not one, and the question before a copy
        auto *pickerState = state.findChild<ModelPickerState *>();
        picker->setProperty("selectedTab", 2);
        pickerState->setHuggingFaceURL(QStringLiteral("not a link"));
        pickerState->downloadFromCustomURL();
        shootDialog(picker, "downloadStatusAlert", QStringLiteral("picker-alert"));
        pickerState->setShowingAlert(false);
        pickerState->setHuggingFaceURL(QString());
        picker->setProperty("selectedTab", 3);
        pickerState->importLocalModel(
            {QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/mistral-7b.Q4_K_M.gguf"), "GGUF"))});
        QObject *copyConfirm = picker->findChild<QObject *>(QStringLiteral("copyModelConfirm"));
        if (copyConfirm)
            copyConfirm->setProperty("answered", true); // a close for the screenshot is no answer
        shootDialog(picker, "copyModelConfirm", QStringLiteral("picker-copy"));
        pickerState->answerConfirmation(false);
        QMetaObject::invokeMethod(picker, "close");
    } else {
        std::fprintf(stderr, "screenshots: no model picker on the settings screen\n");
        ok = false;
    }
    shootDialog(window, "aboutBox", QStringLiteral("about"));

    // the Replies section: the model kept loaded (the stand-in has no
    // llama-server), then a server elsewhere, connected
    ReplyEngines &engines = state.engines();
    const auto showReplies = [&] {
        pause(300);
        QQuickItem *modes = window->findChild<QQuickItem *>(QStringLiteral("replyModes"));
        QQuickItem *flick = modes ? modes->parentItem() : nullptr;
        while (flick && !flick->inherits("QQuickFlickable"))
            flick = flick->parentItem();
        if (!flick) {
            std::fprintf(stderr, "screenshots: no Replies section on the settings screen\n");
            ok = false;
            return;
        }
        const QQuickItem *content = flick->property("contentItem").value<QQuickItem *>();
        flick->setProperty("contentY", modes->mapToItem(content, QPointF(0, 0)).y() - 60);
    };
    const auto setMode = [&](const char *mode) {
        engines.setMode(QString::fromLatin1(mode));
        waitUntil([&] { return engine.isLlamaCPPVerified(); }, 10000); // a local mode checks llama.cpp again
    };
    setMode("localServer");
    showReplies();
    shoot(QStringLiteral("settings-replies-local"));
    const QByteArray models = R"({"data":[{"id":"qwen2.5-32b-instruct"},{"id":"llama-3.1-70b-instruct"}]})";
    FakeHttpServer server({FakeHttpServer::answer("200 OK", models)});
    setMode("remoteServer");
    engines.connectRemoteServer(QStringLiteral("http://127.0.0.1:%1").arg(server.port()), QStringLiteral("sk-demo"));
    if (!waitUntil([&] { return engines.remoteModels().size() == 2 && !engines.remoteKeyNotice().isEmpty(); }, 10000)) {
        std::fprintf(stderr, "screenshots: no models from the loopback server: %s\n", qPrintable(engines.remoteError()));
        ok = false;
    }
    showReplies();
    shoot(QStringLiteral("settings-replies"));

    state.setCurrentView(AppView::Welcome);
    waitUntil([&] { return window->findChild<QObject *>(QStringLiteral("connectServerDialog")) != nullptr; }, 5000);
    shootDialog(window, "connectServerDialog", QStringLiteral("welcome-connect"));
    setMode("process");
    shoot(QStringLiteral("welcome"));

    // installing, then the setup screen with an error and while verifying
    engine.setLlamaCPPInstallStatus(QStringLiteral("Downloading llama.cpp..."));
    engine.setLlamaCPPInstallProgress(0.526);
    engine.setInstallingLlamaCPP(true);
    shoot(QStringLiteral("installing"));
    engine.setInstallingLlamaCPP(false);
    engine.setLlamaCPPVerified(false);
    engine.setLlamaCPPSetupError(QStringLiteral("Prebuilt install failed and the source build failed: Build failed"));
    shoot(QStringLiteral("setup-error"));
    engine.setLlamaCPPSetupError(std::nullopt);
    shoot(QStringLiteral("setup-verifying"));

    // the models screen with nothing on it
    engine.setLlamaCPPVerified(true);
    while (state.downloadedModelCount() > 0)
        state.deleteModel(state.downloadedModels().first());
    state.setCurrentView(AppView::Models);
    shoot(QStringLiteral("models-empty"));
    return ok ? 0 : 1;
}
