// Renders the chat screen offscreen and writes what a user would see as PNG
// files: an empty conversation, a conversation with a code block and
// attachments, and a reply streaming in, each in dark and light appearance.
//
//   screenshots [output folder]    (default: ./screenshots)
//
// It runs in a private temporary home, with the fake llama-completion
// streaming the reply.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "core/sessions_store.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"
#include "ui/ui_setup.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

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
    return true;
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
    session.messages.append(ChatMessage::make(QString::fromUtf8(kAnswer), false));
    return session;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"))
                               .absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", qPrintable(folder));
        return 1;
    }

    TempHome home;
    const QString bin = home.dataDir() + QStringLiteral("/llama.cpp/build/bin");
    QDir().mkpath(bin);
    QFile::link(QStringLiteral(FAKE_LLAMA_COMPLETION), bin + QStringLiteral("/llama-completion"));
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
    window->resize(1100, 720);

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
    return ok ? 0 : 1;
}
