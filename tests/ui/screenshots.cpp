// Renders every screen offscreen as PNG files, dark and light, in a private home (the fake llama-completion streams, a
// loopback server lists a server's models); fails naming any text a clipping box cuts off (not one scrolled away).
//   screenshots [output folder] [width x height]   (default: ./screenshots 1100x720)
#include "app/composer_state.h"
#include "app/model_picker_state.h"
#include "app/reply_engines.h"
#include "common/fake_http_server.h"
#include "core/sessions_store.h"
#include "ui/catalog_state.h"
#include "window_driver.h"

#include <QDir>
#include <QGuiApplication>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

const char *const kAnswer =
    "Sure. Opening the file in a `with` block closes it for you, and iterating over the file object yields one "
    "line at a time:\n\n"
    "```python\ndef read_lines(path):\n"
    "    with open(path, encoding=\"utf-8\") as handle:\n"
    "        for number, line in enumerate(handle, start=1):\n"
    "            print(f\"{number:4}: {line.rstrip()}\")\n"
    "\nread_lines(\"notes.txt\")\n"
    "```\n\n"
    "This reads **one line at a time**, so it also works for files larger than your memory.";

// The shown texts under item that a clipping box (or the window) cuts off; a scrolling view's content may pass them.
void clippedTexts(const QQuickItem *item, const QRectF &window, QStringList &out)
{
    if (!item->isVisible() || item->opacity() == 0)
        return;
    const QString text = WindowDriver::isTextItem(item) ? WindowDriver::textOf(item) : QString();
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

// Writes the window as PNG files in both appearances; ok while every shot was written with no text cut off.
struct Shots : WindowTest {
    QString folder;
    bool ok = true;

    // 1 (the program's failure), having said what went wrong
    int fail(const QString &what)
    {
        std::fprintf(stderr, "screenshots: %s\n", qPrintable(what));
        ok = false;
        return 1;
    }
    // what shows now, dark then light; a dialog (named, under parent) opened anew in each, as it takes the appearance
    void shoot(const QString &name, QObject *parent = nullptr, const char *dialog = nullptr)
    {
        QObject *found = parent ? parent->findChild<QObject *>(QString::fromLatin1(dialog)) : nullptr;
        if (dialog && !found)
            return void(fail(QStringLiteral("no ") + QString::fromLatin1(dialog)));
        for (const auto &[mode, suffix] : {std::pair{AppearanceMode::Dark, "dark"}, {AppearanceMode::Light, "light"}}) {
            m_state->setAppearanceMode(mode);
            if (found) {
                QMetaObject::invokeMethod(found, "close");
                QTest::qWait(300);
                QMetaObject::invokeMethod(found, "open");
            }
            QTest::qWait(700); // scrolls and fades settle
            const QString shot = name + QLatin1Char('-') + QLatin1String(suffix);
            const QString path = folder + QLatin1Char('/') + shot + QStringLiteral(".png");
            if (!m_window->grabWindow().save(path))
                fail(QStringLiteral("could not write ") + path);
            std::printf("%s\n", qPrintable(path));
            QStringList clipped;
            clippedTexts(root(), QRectF(QPointF(0, 0), m_window->size()), clipped);
            for (const QString &text : clipped)
                fail(QStringLiteral("%1: text cut off: \"%2\"").arg(shot, text));
        }
        if (found)
            QMetaObject::invokeMethod(found, "close");
    }
    // The first shown item of that QML type, with that value of property if one is named.
    QQuickItem *ofType(const char *type, const char *property = nullptr, const QVariant &value = {}) const
    {
        return items(root(), [&](QQuickItem *i) {
                   return isType(i, type) && (!property || i->property(property) == value);
               }).value(0);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Shots shots;
    shots.folder = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots")).absolutePath();
    QDir().mkpath(shots.folder); // else no shot is written, and the program fails
    const QStringList size = QString::fromLatin1(argc > 2 ? argv[2] : "1100x720").split(QLatin1Char('x'));
    shots.makeHome(QStringLiteral(FAKE_LLAMA_COMPLETION));
    const TempHome &home = *shots.m_home;
    // no secret store: the demonstration key never reaches the user's keyring
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(home.home()) + "/no-bus");
    // a conversation with files and code whose answer was asked for again, the second shown: the switcher reads 2/2
    ChatSession sample = ChatSession::make();
    sample.title = QStringLiteral("Reading a file line by line");
    QList<AttachedFile> files;
    for (const QString &name : {QStringLiteral("reader.py"), QStringLiteral("notes.txt")}) {
        const QString path = home.writeFile(QStringLiteral("Documents/") + name, "print('hello')\n");
        files.append({QUuid::createUuid(), name, path, QFileInfo(name).suffix(), QFileInfo(path).size()});
    }
    sample.messages.append(ChatMessage::make(QStringLiteral("Can you show me how to read a file line by line in "
                                                            "Python? The two files attached are what I have so far."),
                                             true, files));
    ChatMessage answer = ChatMessage::assistant(QStringLiteral("An earlier answer."), MessageKind::Reply);
    answer.figures = {0.42, 18.3, 245, QStringLiteral("llama-completion"), QStringLiteral("Tiny")};
    answer.addVersion({QString::fromUtf8(kAnswer), answer.timestamp, answer.figures});
    sample.messages.append(answer);
    SessionsStore::standard().save(sample);

    if (!shots.openWindow())
        return shots.fail(QStringLiteral("the window did not show"));
    LlamaCPPManager &engine = *shots.m_engine;
    AppState &state = *shots.m_state;
    QQuickWindow *window = shots.window();
    auto *composer = state.findChild<ComposerState *>();
    window->resize(size.value(0).toInt(), size.value(1).toInt());
    AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
    model.isDownloaded = true;
    model.filePath = home.writeFile(QStringLiteral("tiny.gguf"), "GGUF");
    state.addModel(model); // selected, as the first one downloaded

    state.setCurrentView(AppView::Chat);
    state.createNewChat();
    shots.shoot(QStringLiteral("chat-empty"));

    // the conversation, with two files waiting in the composer
    state.selectSessionById(canonicalUuid(sample.id));
    composer->addAttachments({QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/report.pdf"), "%PDF")),
                              QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/data.csv"), "a,b\n"))});
    shots.shoot(QStringLiteral("chat-conversation"));
    composer->clearAttachments();

    qputenv("FAKE_LLAMA_SCRIPT_TEXT", "out Here is a short overview of what the report says.\\n\\n\nsleep 50\n"
                                      "out **Findings:** the numbers in the second quarter rose by\nsleep 60000\n");
    state.createNewChat();
    composer->setMessageText(QStringLiteral("Summarise the attached report, please."));
    composer->sendMessage();
    const QUuid sid = state.currentSession()->id;
    if (!waitUntil([&] { return state.sessionStreamingContent().value(sid).contains(QLatin1String("rose")); }, 10000))
        shots.fail(QStringLiteral("the reply did not stream"));
    shots.shoot(QStringLiteral("chat-streaming"));
    state.stopCurrentReply();
    waitUntil([&] { return !engine.hasProcess(sid); }, 10000);

    // the reply hovered, the question edited in place, the conversation renamed in the sidebar; a message's menu
    state.selectSessionById(canonicalUuid(sample.id));
    QTest::qWait(500);
    QQuickItem *question = shots.ofType("MessageView", "isFromUser", true);
    QQuickItem *reply = shots.ofType("MessageView", "isFromUser", false);
    QQuickItem *row = shots.ofType("ChatSessionRow", "sessionTitle", sample.title);
    if (!question || !reply || !row)
        return shots.fail(QStringLiteral("the conversation's rows did not show"));
    QTest::mouseMove(window, reply->mapToScene(QPointF(80, reply->height() / 2)).toPoint());
    if (!QMetaObject::invokeMethod(question, "startEditing", Q_ARG(QVariant, false))
        || !QMetaObject::invokeMethod(row, "startRenaming", Q_ARG(QVariant, false)))
        return shots.fail(QStringLiteral("editing and renaming could not be started"));
    shots.shoot(QStringLiteral("chat-actions"));
    question->setProperty("editing", false);
    row->setProperty("renaming", false);
    shots.shoot(QStringLiteral("chat-menu"), reply, "messageMenu");
    // the focus ring on the reply's code Copy button, two Tabs after Settings; then on the reply's menu opened by key
    window->requestActivate();
    if (!shots.control(QStringLiteral("settingsButton")) || !QTest::qWaitForWindowActive(window))
        return shots.fail(QStringLiteral("no active window with a Settings button"));
    shots.control(QStringLiteral("settingsButton"))->forceActiveFocus(Qt::TabFocusReason);
    QTest::keyClick(window, Qt::Key_Tab);
    QTest::qWait(300);
    QTest::keyClick(window, Qt::Key_Tab);
    shots.shoot(QStringLiteral("focus-ring"));
    QMetaObject::invokeMethod(reply, "openMenu", Q_ARG(QVariant, true));
    shots.shoot(QStringLiteral("focus-ring-menu"));
    QTest::keyClick(window, Qt::Key_Escape);

    // a tooltip, then the chat screen's alerts: no model, a file too large, a conversation that could not be imported
    shots.hover(shots.control(QStringLiteral("sidebarButton")));
    QTest::qWait(700);
    shots.shoot(QStringLiteral("chat-tooltip"));
    QTest::mouseMove(window, QPoint(window->width() / 2, window->height() - 5));
    shots.shoot(QStringLiteral("alert-no-model"), window, "noModelAlert");
    const QString large = home.writeFile(QStringLiteral("Documents/recording.wav"), QByteArray(6000000, '\0'));
    composer->addAttachments({QUrl::fromLocalFile(large)});
    shots.shoot(QStringLiteral("alert-file-too-large"), window, "attachmentAlert");
    const QString junk = home.writeFile(QStringLiteral("Documents/old-chat.json"), "{ not json");
    QMetaObject::invokeMethod(window->findChild<QObject *>(QStringLiteral("conversationExchange")), "importUrls",
                              Q_ARG(QVariant, QVariant(QVariantList{QUrl::fromLocalFile(junk)})));
    shots.shoot(QStringLiteral("alert-import"), window, "exchangeAlert");

    // the library with a second model on its way
    AIModel coming = AIModel::make(QStringLiteral("Qwen 2.5 7B Instruct"),
                                   QStringLiteral("https://huggingface.co/example/resolve/main/qwen.gguf"));
    coming.size = QStringLiteral("Downloading..."); // as the picker sets it
    state.addModel(coming);
    state.applyDownloadProgress(coming.id, 0.42, 1974000000, 4700000000, 23.4);
    state.setCurrentView(AppView::Models);
    shots.shoot(QStringLiteral("models"));
    shots.shoot(QStringLiteral("models-details"), shots.ofType("ModelRowView"), "modelDetails");
    shots.shoot(QStringLiteral("models-delete"), shots.ofType("ModelRowView"), "deleteModelConfirm");

    // the picker over the settings screen, one tab after another, rating the catalog for a typical laptop
    const QString chip = QStringLiteral("Intel(R) Core(TM) i7-1165G7 @ 2.80GHz");
    state.findChild<CatalogState *>()->setDevice(
        {.totalRAMGB = 16, .chipDescription = chip, .inferenceMode = QStringLiteral("CPU only")});
    state.setCurrentView(AppView::Settings);
    shots.shoot(QStringLiteral("settings"));
    QObject *picker = window->findChild<QObject *>(QStringLiteral("modelPicker"));
    if (!picker || !QMetaObject::invokeMethod(picker, "open"))
        return shots.fail(QStringLiteral("no model picker on the settings screen"));
    int tab = 0;
    for (const char *name : {"library", "suggested", "custom-url", "local-file"}) {
        picker->setProperty("selectedTab", tab++);
        shots.shoot(QStringLiteral("picker-") + QLatin1String(name));
    }
    // its alert for a link that is not one, and the question before a copy
    auto *pickerState = state.findChild<ModelPickerState *>();
    picker->setProperty("selectedTab", 2);
    pickerState->setHuggingFaceURL(QStringLiteral("not a link"));
    pickerState->downloadFromCustomURL();
    shots.shoot(QStringLiteral("picker-alert"), picker, "downloadStatusAlert");
    pickerState->setShowingAlert(false);
    pickerState->setHuggingFaceURL(QString());
    picker->setProperty("selectedTab", 3);
    pickerState->importLocalModel(
        {QUrl::fromLocalFile(home.writeFile(QStringLiteral("Documents/mistral-7b.Q4_K_M.gguf"), "GGUF"))});
    if (QObject *copyConfirm = picker->findChild<QObject *>(QStringLiteral("copyModelConfirm")))
        copyConfirm->setProperty("answered", true); // a close for the screenshot is no answer
    shots.shoot(QStringLiteral("picker-copy"), picker, "copyModelConfirm");
    pickerState->answerConfirmation(false);
    QMetaObject::invokeMethod(picker, "close");
    shots.shoot(QStringLiteral("about"), window, "aboutBox");

    // the Replies section: the model kept loaded (the stand-in has no llama-server), then a server elsewhere, connected
    ReplyEngines &engines = state.engines();
    const auto showReplies = [&](const char *mode) {
        engines.setMode(QString::fromLatin1(mode));
        waitUntil([&] { return engine.isLlamaCPPVerified(); }, 10000); // a local mode checks llama.cpp again
        QTest::qWait(300);
        QQuickItem *modes = shots.control(QStringLiteral("replyModes"));
        QQuickItem *flick = modes;
        while (flick && !flick->inherits("QQuickFlickable"))
            flick = flick->parentItem();
        if (!flick)
            return void(shots.fail(QStringLiteral("no Replies section on the settings screen")));
        flick->setProperty("contentY", flick->property("contentY").toReal() + modes->mapToItem(flick, {0, 0}).y() - 60);
    };
    showReplies("localServer");
    shots.shoot(QStringLiteral("settings-replies-local"));
    const QByteArray models = R"({"data":[{"id":"qwen2.5-32b-instruct"},{"id":"llama-3.1-70b-instruct"}]})";
    FakeHttpServer server({FakeHttpServer::answer("200 OK", models)});
    engines.setMode(QStringLiteral("remoteServer"));
    engines.connectRemoteServer(QStringLiteral("http://127.0.0.1:%1").arg(server.port()), QStringLiteral("sk-demo"));
    if (!waitUntil([&] { return engines.remoteModels().size() == 2 && !engines.remoteKeyNotice().isEmpty(); }, 10000))
        shots.fail(QStringLiteral("no models from the loopback server: ") + engines.remoteError());
    showReplies("remoteServer");
    shots.shoot(QStringLiteral("settings-replies"));

    state.setCurrentView(AppView::Welcome);
    waitUntil([&] { return window->findChild<QObject *>(QStringLiteral("connectServerDialog")) != nullptr; }, 5000);
    shots.shoot(QStringLiteral("welcome-connect"), window, "connectServerDialog");
    engines.setMode(QStringLiteral("process"));
    waitUntil([&] { return engine.isLlamaCPPVerified(); }, 10000);
    shots.shoot(QStringLiteral("welcome"));

    // installing, then the setup screen with an error and while verifying
    engine.setLlamaCPPInstallStatus(QStringLiteral("Downloading llama.cpp..."));
    engine.setLlamaCPPInstallProgress(0.526);
    engine.setInstallingLlamaCPP(true);
    shots.shoot(QStringLiteral("installing"));
    engine.setInstallingLlamaCPP(false);
    engine.setLlamaCPPVerified(false);
    engine.setLlamaCPPSetupError(QStringLiteral("Prebuilt install failed and the source build failed: Build failed"));
    shots.shoot(QStringLiteral("setup-error"));
    engine.setLlamaCPPSetupError(std::nullopt);
    shots.shoot(QStringLiteral("setup-verifying"));

    engine.setLlamaCPPVerified(true);
    while (state.downloadedModelCount() > 0)
        state.deleteModel(state.downloadedModels().first());
    state.setCurrentView(AppView::Models);
    shots.shoot(QStringLiteral("models-empty"));
    return shots.ok ? 0 : 1;
}
