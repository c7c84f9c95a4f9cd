// Crash campaign: starts the application again and again in one private HOME,
// drives it (conversations, messages with streamed replies from the scripted
// llama-completion, deletions, model imports and deletions) and kills it with
// SIGKILL at a random moment. After every kill it checks what a user would
// lose:
//   - every conversation the application had shown before the kill is on
//     disk and after the restart, with at least the messages it had shown;
//     none that was shown deleted comes back;
//   - every file of Sessions/ reads as a conversation;
//   - the model list reads, holds every model shown, each with its whole file,
//     and none shown deleted;
//   - after the restart no staged prompt, no save file a kill left in
//     Sessions/ and no llama-completion is left.
// Everything the application showed was answered over its control socket
// before the kill, so it had been saved by then.
//
//   crash_campaign [--kills N] [--seed S]
//
// Prints one line per problem and the figures at the end; exits 1 (keeping
// the home) when anything was lost, unreadable or left behind.
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "e2e/app_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSettings>

#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <thread>

namespace {

// The kinds of problem, in the order they are printed.
const char *const kProblems[] = {"lost conversations",     "lost messages", "deleted ones back",
                                 "unreadable files",       "unreadable model lists", "lost models",
                                 "staged prompts left",    "children left", "save files kept by a restart"};
QHash<QString, int> g_problems;
int g_kill = 0;
int g_restartsChecked = 0;
int g_actions = 0;
int g_messagesSent = 0;

void problem(const char *kind, const QString &text, int count = 1)
{
    std::printf("kill %d: %s\n", g_kill, qPrintable(text));
    std::fflush(stdout);
    g_problems[QLatin1String(kind)] += count;
}

// The conversations a state lists: id -> messages.
QHash<QString, QJsonArray> sessionsIn(const QJsonObject &state)
{
    QHash<QString, QJsonArray> sessions;
    for (const QJsonValue &s : state.value(QStringLiteral("sessions")).toArray())
        sessions.insert(s[QStringLiteral("id")].toString(), s[QStringLiteral("messages")].toArray());
    return sessions;
}

// The models a state lists: id -> file, empty for one not downloaded.
QHash<QString, QString> modelsIn(const QJsonObject &state)
{
    QHash<QString, QString> models;
    for (const QJsonValue &m : state.value(QStringLiteral("models")).toArray())
        models.insert(m[QStringLiteral("id")].toString(),
                      m[QStringLiteral("isDownloaded")].toBool() ? m[QStringLiteral("filePath")].toString() : QString());
    return models;
}

// Ends the processes whose command line holds marker, each by its id.
void killProcessesWith(const QByteArray &marker)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (isPid && readFileBytes(QStringLiteral("/proc/%1/cmdline").arg(pid)).replace('\0', ' ').contains(marker))
            ::kill(pid, SIGKILL);
    }
}

class Campaign {
public:
    explicit Campaign(unsigned seed) : m_random(seed) {}

    bool prepare()
    {
        if (!m_home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)))
            return false;
        // A reply streams in three pieces over about a tenth of a second.
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[run]\nout Hello\nsleep 40\nout  there\nsleep 40\nout , friend.\n");
        m_program = (m_home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion")).toUtf8();
        return QDir().mkpath(m_home.home() + QStringLiteral("/sources"));
    }

    void round()
    {
        AppProcess app({}, m_home.home() + QStringLiteral("/app.log"));
        const int afterMs = std::uniform_int_distribution<int>(0, 1200)(m_random);
        std::promise<void> cancel;
        std::future<bool> killed; // true once the kill came
        const auto armKiller = [&, pid = pid_t(app.pid())] {
            killed = std::async(std::launch::async, [pid, afterMs, cancelled = cancel.get_future()] {
                if (cancelled.wait_for(std::chrono::milliseconds(afterMs)) != std::future_status::timeout)
                    return false;
                ::kill(pid, SIGKILL);
                return true;
            });
        };
        // One kill in ten lands while the application starts; the others
        // while it is driven, however long a busy machine takes to start it.
        if (g_kill % 10 == 0)
            armKiller();
        if (app.connect()) {
            g_restartsChecked += checkRestart(app.state()) ? 1 : 0;
            if (!killed.valid())
                armKiller();
            while (killed.wait_for(std::chrono::seconds(0)) != std::future_status::ready && act(app)) {
            }
        }
        cancel.set_value();
        if (!killed.valid() || !killed.get())
            app.signal(SIGKILL);
        app.waitForExit();
        checkDisk();
    }

    QString home() const { return m_home.home(); }
    int leftovers() const { return int(m_leftovers.size()); }

private:
    // The application's view right after it started again.
    bool checkRestart(const QJsonObject &state)
    {
        if (!state.value(QStringLiteral("ok")).toBool())
            return false; // killed while starting
        const QStringList prompts = QDir(m_home.runtimeDir()).entryList({QStringLiteral("quorvane-prompt-*")}, QDir::Files);
        if (!prompts.isEmpty())
            problem("staged prompts left", QStringLiteral("staged prompts left after the restart: ") + prompts.join(u' '),
                    int(prompts.size()));
        for (const QString &name : std::as_const(m_leftovers)) {
            if (QFileInfo::exists(m_home.dataDir() + QStringLiteral("/Sessions/") + name) && !m_keptSaveFiles.contains(name)) {
                problem("save files kept by a restart", QStringLiteral("save file left after the restart: Sessions/") + name);
                m_keptSaveFiles.insert(name);
            }
        }
        compareSessions(sessionsIn(state), QStringLiteral("after the restart"));
        compareModels(modelsIn(state), QStringLiteral("after the restart"));
        observe(state);
        return true;
    }

    // Each loss counts once: what was lost is no longer looked for.
    void compareSessions(const QHash<QString, QJsonArray> &found, const QString &where)
    {
        for (auto it = m_shown.sessions.begin(); it != m_shown.sessions.end();) {
            const QJsonArray there = found.value(it.key());
            // Messages only ever come after those shown.
            const bool prefix = there.size() >= it->size() && std::equal(it->begin(), it->end(), there.begin());
            if (!found.contains(it.key()))
                problem("lost conversations", QStringLiteral("conversation %1 lost %2").arg(it.key(), where));
            else if (!prefix)
                problem("lost messages", QStringLiteral("conversation %1 lost messages %2 (%3 shown, %4 found)")
                                             .arg(it.key(), where).arg(it->size()).arg(there.size()));
            it = found.contains(it.key()) && prefix ? std::next(it) : m_shown.sessions.erase(it);
        }
        countBack(m_deletedSessions, found, QStringLiteral("conversation"), where);
    }

    void compareModels(const QHash<QString, QString> &found, const QString &where)
    {
        const qint64 whole = QFileInfo(QStringLiteral(TINY_GGUF)).size();
        for (auto it = m_shown.models.begin(); it != m_shown.models.end();) {
            if (!found.value(it.key()).isEmpty() && QFileInfo(*it).size() == whole) {
                ++it;
                continue;
            }
            problem("lost models", QStringLiteral("model %1 lost %2").arg(it.key(), where));
            it = m_shown.models.erase(it);
        }
        countBack(m_deletedModels, found, QStringLiteral("model"), where);
    }

    template <class Found>
    void countBack(const QSet<QString> &deleted, const Found &found, const QString &what, const QString &where)
    {
        for (const QString &id : deleted)
            if (found.contains(id))
                problem("deleted ones back", QStringLiteral("deleted %1 %2 is back %3").arg(what, id, where));
    }

    // What is on disk after the kill, read as the application reads it.
    void checkDisk()
    {
        if (!waitUntil([&] { return processesWith(m_program) == 0; }, 5000)) {
            problem("children left", QStringLiteral("llama-completion outlived the application"));
            killProcessesWith(m_program);
        }
        const QString sessionsDir = m_home.dataDir() + QStringLiteral("/Sessions");
        const QString configDir = QFileInfo(m_home.configFile()).path();
        // Files the store does not read (save files a kill left behind) are
        // counted, not read.
        for (const QString &name : QDir(sessionsDir).entryList(QDir::Files | QDir::Hidden))
            if (!name.endsWith(QLatin1String(".json")))
                m_leftovers.insert(name);
        for (const QString &name : QDir(configDir).entryList({QStringLiteral("Quorvane.conf.*")}, QDir::Files | QDir::Hidden))
            if (!name.endsWith(QLatin1String(".lock")))
                m_leftovers.insert(name);
        QHash<QString, QJsonArray> sessions;
        for (const QFileInfo &entry : QDir(sessionsDir).entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
            recordjson::DecodeError error;
            const auto session = recordjson::decodeSessionDocument(readFileBytes(entry.absoluteFilePath()), &error);
            if (!session) {
                problem("unreadable files", QStringLiteral("unreadable file Sessions/%1: %2").arg(entry.fileName(), error.text));
                continue;
            }
            QJsonArray messages;
            for (const ChatMessage &message : session->messages)
                messages.append(QJsonObject{{"isFromUser", message.isFromUser}, {"content", message.content}});
            sessions.insert(canonicalUuid(session->id), messages);
        }
        compareSessions(sessions, QStringLiteral("on disk"));

        const QSettings settings(m_home.configFile(), QSettings::IniFormat);
        const QByteArray list = settings.value(QString::fromLatin1(prefkeys::kDownloadedModels)).toByteArray();
        const QStringList aside = QDir(m_home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")})
                                  + QDir(configDir).entryList({QStringLiteral("*.unreadable*")});
        recordjson::DecodeError error;
        const auto models = list.isEmpty() ? std::optional<QList<AIModel>>(QList<AIModel>{})
                                           : recordjson::decodeModelList(list, &error);
        if (!models || settings.status() != QSettings::NoError || !aside.isEmpty()) {
            problem("unreadable model lists", QStringLiteral("unreadable model list: %1 %2").arg(error.text, aside.join(u' ')));
            return;
        }
        QHash<QString, QString> found;
        for (const AIModel &model : *models)
            if (model.isDownloaded)
                found.insert(canonicalUuid(model.id), model.filePath);
        compareModels(found, QStringLiteral("on disk"));
    }

    // Takes in what the application shows now.
    void observe(const QJsonObject &state)
    {
        const auto sessions = sessionsIn(state);
        const auto models = modelsIn(state);
        for (auto it = sessions.cbegin(); it != sessions.cend(); ++it)
            if (!m_pendingSessionDeletes.contains(it.key()))
                m_shown.sessions.insert(it.key(), *it);
        for (auto it = models.cbegin(); it != models.cend(); ++it)
            if (!it->isEmpty() && !m_pendingModelDeletes.contains(it.key()))
                m_shown.models.insert(it.key(), *it);
        settle(m_pendingSessionDeletes, sessions, m_deletedSessions);
        m_pendingSessionDeletes.clear();
        // A model stays asked-for-deletion until it is gone: a kill in the
        // middle of a deletion may leave its record without its file.
        settle(m_pendingModelDeletes, models, m_deletedModels);
        m_current = state.value(QStringLiteral("current")).toString();
        m_generating = state.value(QStringLiteral("generating")).toBool();
        m_hasModel = !state.value(QStringLiteral("selectedModel")).toString().isEmpty();
    }

    // Takes the ids asked for deletion that listed lacks as deleted.
    template <class Listed>
    static void settle(QSet<QString> &pending, const Listed &listed, QSet<QString> &deleted)
    {
        for (const QString &id : QSet<QString>(pending)) {
            if (listed.contains(id))
                continue;
            deleted.insert(id);
            pending.remove(id);
        }
    }

    QString anySession()
    {
        const QStringList ids = m_shown.sessions.keys();
        return ids.isEmpty() ? QString() : ids.at(std::uniform_int_distribution<qsizetype>(0, ids.size() - 1)(m_random));
    }

    // One random step of a user; false once the application is gone.
    bool act(AppProcess &app)
    {
        ++g_actions;
        const int roll = std::uniform_int_distribution<int>(0, 99)(m_random);
        bool ok = true;
        const auto invoke = [&](const char *object, const char *method, const QString &argument) {
            ok = app.ok({QStringLiteral("invoke"), QLatin1String(object), QLatin1String(method), argument});
        };
        if (!m_hasModel || roll < 3) {
            // A model from the picker's Local File tab, copied in.
            const QString source = m_home.home() + QStringLiteral("/sources/model-%1-%2.gguf").arg(g_kill).arg(roll);
            QFile::link(QStringLiteral(TINY_GGUF), source);
            ok = app.ok({QStringLiteral("import"), source});
            if (ok)
                invoke("picker", "answerConfirmation", QStringLiteral("true"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (roll < 5 && (m_shown.models.size() > 1 || !m_pendingModelDeletes.isEmpty())) {
            // A model again, or one whose deletion a kill interrupted.
            const QString id = m_pendingModelDeletes.isEmpty() ? m_shown.models.keys().first()
                                                               : *m_pendingModelDeletes.cbegin();
            m_shown.models.remove(id);
            m_pendingModelDeletes.insert(id);
            invoke("state", "deleteModelById", id);
        } else if (roll < 20 || m_shown.sessions.isEmpty()) {
            ok = app.ok({QStringLiteral("invoke"), QStringLiteral("state"), QStringLiteral("createNewChat")});
        } else if (roll < 30 || m_shown.sessions.size() > 12) {
            const QString id = anySession();
            m_shown.sessions.remove(id);
            m_pendingSessionDeletes.insert(id);
            invoke("state", "deleteSessionById", id);
        } else if (roll < 40) {
            invoke("state", "selectSessionById", anySession());
        } else if (roll < 75 && !m_generating && !m_current.isEmpty()) {
            ok = app.sendMessage(QStringLiteral("Message %1 of round %2").arg(++g_messagesSent).arg(g_kill));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 60)(m_random)));
        }
        const QJsonObject state = ok ? app.state() : QJsonObject();
        if (state.value(QStringLiteral("ok")).toBool())
            observe(state);
        return state.value(QStringLiteral("ok")).toBool();
    }

    TempHome m_home;
    std::mt19937 m_random;
    QByteArray m_program;
    // What the application has shown: the conversations with their messages
    // and the downloaded models with their files.
    struct {
        QHash<QString, QJsonArray> sessions;
        QHash<QString, QString> models;
    } m_shown;
    QSet<QString> m_deletedSessions; // shown gone
    QSet<QString> m_deletedModels;
    QSet<QString> m_pendingSessionDeletes; // asked for, not yet shown gone
    QSet<QString> m_pendingModelDeletes;
    QSet<QString> m_leftovers;
    QSet<QString> m_keptSaveFiles;
    QString m_current;
    bool m_generating = false;
    bool m_hasModel = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&](const char *name) { return args.value(args.indexOf(QLatin1String(name)) + 1); };
    const int kills = args.contains(QStringLiteral("--kills")) ? option("--kills").toInt() : 50;
    const unsigned seed = args.contains(QStringLiteral("--seed")) ? option("--seed").toUInt() : std::random_device{}();
    std::printf("crash campaign: %d kills, seed %u\n", kills, seed);
    Campaign campaign(seed);
    if (!campaign.prepare()) {
        std::printf("could not prepare the campaign's home\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    double seconds = 0;
    for (g_kill = 1; g_kill <= kills; ++g_kill) {
        campaign.round();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (g_kill % 100 == 0 && g_kill < kills)
            std::printf("%d kills, %d restarts checked, %d actions, %.1f s, %s\n", g_kill, g_restartsChecked, g_actions,
                        seconds, g_problems.isEmpty() ? "nothing lost so far" : "PROBLEMS");
        std::fflush(stdout);
    }
    QStringList counts;
    for (const char *kind : kProblems)
        counts << QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(g_problems.value(QLatin1String(kind)));
    std::printf("kills %d, restarts checked %d, actions %d, messages sent %d, %.1f s\n%s\n"
                "save files left by kills (not read by the application) %d\n",
                kills, g_restartsChecked, g_actions, g_messagesSent, seconds, qPrintable(counts.join(u", ")),
                campaign.leftovers());
    if (!g_problems.isEmpty()) {
        const QString kept = QDir::tempPath() + QStringLiteral("/crash-campaign-home");
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), kept});
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), campaign.home(), kept});
        std::printf("its home is kept in %s\n", qPrintable(kept));
    }
    return g_problems.isEmpty() ? 0 : 1;
}
