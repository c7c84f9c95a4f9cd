// How much of the main thread a streaming reply takes on the chat screen:
// the real window offscreen, showing a conversation of 1,000 messages, while
// the fake llama-completion streams a reply of 2,000 pieces at 100 pieces a
// second (20 seconds). Printed: the share of the main thread's time spent
// working (its CPU time over the wall time of the reply; the idle screen is
// measured the same way beforehand as the reference) and the longest single
// frame (the longest handling of one event during which the window showed a
// new frame: polish, layout and rendering included).
//
// Runs in a private temporary home; needs no arguments.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "core/sessions_store.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"
#include "ui/ui_setup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

namespace {

constexpr int kMessages = 1000;
constexpr int kPieces = 2000;
constexpr int kPieceIntervalMs = 10;

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Times the outermost handling of every event on the main thread; one
// during which the window showed a new frame is that frame's time (polish,
// layout and rendering happen there, whichever way the render loop drives
// them).
class TimedApplication : public QGuiApplication {
public:
    using QGuiApplication::QGuiApplication;

    void watch(QQuickWindow *window)
    {
        connect(window, &QQuickWindow::frameSwapped, this, [this] { m_swapped = true; }, Qt::DirectConnection);
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth++ > 0) {
            const bool handled = QGuiApplication::notify(receiver, event);
            --m_depth;
            return handled;
        }
        m_swapped = false;
        QElapsedTimer clock;
        clock.start();
        const bool handled = QGuiApplication::notify(receiver, event);
        const double ms = clock.nsecsElapsed() / 1e6;
        --m_depth;
        if (m_swapped && measuring) {
            ++frames;
            longestFrameMs = std::max(longestFrameMs, ms);
        }
        return handled;
    }

    bool measuring = false;
    int frames = 0;
    double longestFrameMs = 0;

private:
    int m_depth = 0;
    bool m_swapped = false;
};

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        pause(20);
    return done();
}

bool hasChatView(QQuickItem *item)
{
    if (!item)
        return false;
    if (QByteArray(item->metaObject()->className()).startsWith("ChatView"))
        return true;
    const auto children = item->childItems();
    return std::any_of(children.begin(), children.end(), hasChatView);
}

// Text in the shapes replies take: prose, lists, inline code, code blocks.
QString messageText(int i)
{
    switch (i % 4) {
    case 0:
        return QStringLiteral("Question %1: how do I keep a list sorted while I insert into it?").arg(i);
    case 1:
        return QStringLiteral("Use **binary search** to find the place, then insert there:\n\n```python\n"
                              "import bisect\n\nitems = [1, 4, 9]\nbisect.insort(items, %1)\nprint(items)\n```\n\n"
                              "This keeps each insertion at `O(log n)` comparisons.")
            .arg(i);
    case 2:
        return QStringLiteral("Thanks! And for message %1, what about removing items?").arg(i);
    default:
        return QStringLiteral("Removing is simpler:\n\n- find the index with `bisect_left`\n- check the item is "
                              "there\n- `del items[index]`\n\nNothing else moves out of order.");
    }
}

// One piece a line, in the order of a reply with prose and a code block.
QByteArray streamScript()
{
    static const char *const words[] = {"The ", "list ", "stays ", "sorted ", "because ", "every ", "insert ",
                                        "goes ", "to ", "its ", "place. "};
    QByteArray script;
    for (int i = 0; i < kPieces; ++i) {
        QByteArray piece;
        if (i % 400 == 150)
            piece = "\\n\\n```python\\n";
        else if (i % 400 == 250)
            piece = "\\n```\\n\\n";
        else if (i % 400 > 150 && i % 400 < 250)
            piece = (i % 10 == 0) ? "\\nvalue = items[index] + 1" : " # step";
        else
            piece = words[i % 11];
        script += "out " + piece + "\nsleep " + QByteArray::number(kPieceIntervalMs) + "\n";
    }
    return script;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    TimedApplication app(argc, argv);

    QTemporaryDir home;
    for (const auto &[name, sub] : {std::pair{"HOME", ""}, {"XDG_DATA_HOME", "/.local/share"},
                                    {"XDG_CONFIG_HOME", "/.config"}, {"XDG_CACHE_HOME", "/.cache"},
                                    {"XDG_RUNTIME_DIR", "/run"}}) {
        const QString path = home.path() + QString::fromLatin1(sub);
        QDir().mkpath(path);
        qputenv(name, path.toUtf8());
    }
    QFile::setPermissions(home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    const QString data = home.path() + QStringLiteral("/.local/share/Quorvane");
    QDir().mkpath(data + QStringLiteral("/llama.cpp/build/bin"));
    QFile::link(QStringLiteral(FAKE_LLAMA_COMPLETION), data + QStringLiteral("/llama.cpp/build/bin/llama-completion"));
    QFile modelFile(home.path() + QStringLiteral("/tiny.gguf"));
    modelFile.open(QIODevice::WriteOnly);
    modelFile.write("GGUF");
    modelFile.close();
    AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
    model.isDownloaded = true;
    model.filePath = modelFile.fileName();
    Preferences().setData(QString::fromLatin1(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
    Preferences().setString(QString::fromLatin1(prefkeys::kSelectedModelId), canonicalUuid(model.id));
    Preferences().setBool(QString::fromLatin1(prefkeys::kDidCompleteOnboarding), true);

    ChatSession session = ChatSession::make();
    session.title = QStringLiteral("A long conversation");
    for (int i = 0; i < kMessages; ++i)
        session.messages.append(ChatMessage::make(messageText(i), i % 2 == 0));
    if (!SessionsStore::standard().save(session)) {
        std::fprintf(stderr, "ui_stream: could not write the conversation\n");
        return 1;
    }
    qputenv("FAKE_LLAMA_SCRIPT_TEXT", streamScript());

    LlamaCPPManager engine;
    AppState state(engine);
    ui::registerTypes(state, engine);
    auto *composer = state.findChild<ComposerState *>();
    state.setCurrentView(AppView::Chat);

    QQmlApplicationEngine qml;
    if (!ui::loadMainWindow(qml)) {
        std::fprintf(stderr, "ui_stream: the window did not load\n");
        return 1;
    }
    auto *window = qobject_cast<QQuickWindow *>(qml.rootObjects().first());
    if (window)
        app.watch(window);
    pause(1500); // start-up, first layout and the scrolls to the end
    if (!window || !hasChatView(window->contentItem()) || state.chatMessages().size() != kMessages) {
        std::fprintf(stderr, "ui_stream: the window does not show the conversation\n");
        return 1;
    }

    // The reference: the same screen with nothing happening.
    app.measuring = true;
    const double idleCpu0 = threadCpuMs();
    QElapsedTimer idleClock;
    idleClock.start();
    pause(3000);
    const double idleShare = (threadCpuMs() - idleCpu0) / idleClock.elapsed();
    app.frames = 0;
    app.longestFrameMs = 0;

    int updates = 0;
    const QUuid sid = state.currentSession()->id;
    QObject::connect(&state, &AppState::sessionStateChanged, &app, [&](const QUuid &id) {
        if (id == sid)
            ++updates;
    });
    const double cpu0 = threadCpuMs();
    QElapsedTimer clock;
    clock.start();
    composer->setMessageText(QStringLiteral("Tell me more about sorted lists."));
    composer->sendMessage();
    if (!waitFor([&] { return !state.isGenerating(sid); }, 120000)) {
        std::fprintf(stderr, "ui_stream: the reply did not finish\n");
        return 1;
    }
    const double wallMs = clock.elapsed();
    const double busyShare = (threadCpuMs() - cpu0) / wallMs;
    app.measuring = false;

    const QString reply = state.chatMessages().last().content;
    std::printf("reply: %lld characters in %d updates over %.1f s; %d frames\n", qlonglong(reply.size()), updates,
                wallMs / 1000, app.frames);
    std::printf("idle screen: main thread busy %.1f %% of the time\n", idleShare * 100);
    std::printf("ratio longest_frame_ms: %.1f (goal <= 50)\n", app.longestFrameMs);
    std::printf("ratio main_thread_busy_share: %.3f (goal < 0.25)\n", busyShare);
    return 0;
}
