// Times, on the main thread, creating a new conversation and deleting one
// with 1,000 conversations of 50 messages against the same with 10. Neither
// should grow with the number of conversations.
#include "app/app_state.h"
#include "conversation_home.h"
#include "engine/llama_cpp_manager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double elapsedMs(const std::function<void()> &fn)
{
    QElapsedTimer t;
    t.start();
    fn();
    return t.nsecsElapsed() / 1e6;
}

// One state over a prepared home, and the times of its clicks.
struct Subject {
    Prepared prepared;
    std::unique_ptr<AppState> state;
    std::vector<double> create, remove;

    Subject(LlamaCPPManager &engine, const QString &root, int conversations)
        : prepared(prepare(root, conversations, 50))
    {
        pointAt(prepared.home);
        state = std::make_unique<AppState>(engine);
        if (state->chatSessionCount() != conversations)
            qFatal("loaded %d conversations, expected %d", state->chatSessionCount(), conversations);
    }

    // A new conversation, then the oldest one deleted: the count stays.
    void round()
    {
        const int before = state->chatSessionCount();
        create.push_back(elapsedMs([&] { state->createNewChat(); }));
        const QString oldest = canonicalUuid(state->chatSessions().last().id);
        remove.push_back(elapsedMs([&] { state->deleteSessionById(oldest); }));
        if (state->chatSessionCount() != before)
            qFatal("the number of conversations changed");
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    QTemporaryDir smallRoot, largeRoot;
    LlamaCPPManager engine;
    Subject small(engine, smallRoot.path(), 10);
    Subject large(engine, largeRoot.path(), 1000);

    // Rounds alternate between the two, so that a change of the disk's pace
    // falls on both.
    constexpr int kRounds = 31;
    for (int r = 0; r < kRounds; ++r) {
        small.round();
        large.round();
    }
    // What a click cost when it wrote every conversation, for scale.
    const double fullSave = elapsedMs([&] { large.state->saveChatSessions(); });

    const double create10 = median(small.create), create1000 = median(large.create);
    const double remove10 = median(small.remove), remove1000 = median(large.remove);
    std::printf("figure new_chat_10_ms: %.3f (median of %d)\n", create10, kRounds);
    std::printf("figure new_chat_1000_ms: %.3f (median of %d, %lld bytes in %d files)\n", create1000, kRounds,
                large.prepared.bytes, large.prepared.files);
    std::printf("figure delete_10_ms: %.3f (median of %d)\n", remove10, kRounds);
    std::printf("figure delete_1000_ms: %.3f (median of %d)\n", remove1000, kRounds);
    std::printf("figure full_save_1000_ms: %.1f (every conversation written once)\n", fullSave);
    std::printf("ratio delete_1000_vs_10: %.2f (goal 2)\n", remove1000 / remove10);
    std::printf("ratio new_chat_1000_vs_10: %.2f (goal 2)\n", create1000 / create10);
    return 0;
}
