// Crash campaign: starts the application again and again in one private HOME
// with a model, drives it (conversations, messages with streamed replies from
// the scripted llama-completion, deletions, model imports and deletions) and
// kills it with SIGKILL at a random moment. It checks what a user would lose:
//   - after the restart every conversation the application had shown before
//     the kill is there, with at least the messages it had shown, every model
//     it had shown is there with its whole file, and nothing that was shown
//     deleted comes back;
//   - after the kill every file of Sessions/ reads as a conversation, and the
//     preferences read and keep the model;
//   - after the restart no staged prompt and no save file a kill left in
//     Sessions/ is left.
// Everything the application showed was answered over its control socket
// before the kill, so it had been saved by then.
//
//   crash_campaign [--kills N] [--seed S]
//
// Prints one line per problem and the figures at the end; exits 1 when
// anything was lost, unreadable or left behind, or no restart could be checked.
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "e2e/app_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QSettings>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <thread>

namespace {

// The kinds of problem, in the order they are printed.
const char *const kProblems[] = {"lost conversations", "lost messages", "lost models", "deleted ones back",
                                 "unreadable files", "unreadable model lists", "staged prompts left",
                                 "save files kept by a restart"};
QHash<QString, int> g_problems;
int g_kill = 0, g_restartsChecked = 0, g_actions = 0, g_messagesSent = 0;

void problem(const char *kind, const QString &text, int count = 1)
{
    std::printf("kill %d: %s: %s\n", g_kill, kind, qPrintable(text));
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

// The downloaded models a state lists: id -> file.
QHash<QString, QString> modelsIn(const QJsonObject &state)
{
    QHash<QString, QString> models;
    for (const QJsonValue &m : state.value(QStringLiteral("models")).toArray())
        if (m[QStringLiteral("isDownloaded")].toBool())
            models.insert(m[QStringLiteral("id")].toString(), m[QStringLiteral("filePath")].toString());
    return models;
}

class Campaign {
public:
    explicit Campaign(unsigned seed) : m_random(seed) {}

    bool prepare()
    {
        // A reply streams in three pieces over about a tenth of a second.
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[run]\nout Hello\nsleep 40\nout  there\nsleep 40\nout , friend.\n");
        AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
        model.isDownloaded = true;
        model.filePath = QStringLiteral(TINY_GGUF);
        QSettings settings(m_home.configFile(), QSettings::IniFormat);
        settings.setValue(QLatin1String(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
        settings.setValue(QLatin1String(prefkeys::kSelectedModelId), canonicalUuid(model.id));
        settings.sync();
        m_firstModel = canonicalUuid(model.id);
        return settings.status() == QSettings::NoError && m_home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION))
               && QDir().mkpath(m_home.home() + QStringLiteral("/sources"));
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

    int leftovers() const { return int(m_leftovers.size()); }

private:
    // The application's view right after it started again.
    bool checkRestart(const QJsonObject &state)
    {
        if (!state.value(QStringLiteral("ok")).toBool())
            return false; // killed while starting
        const QStringList prompts = QDir(m_home.runtimeDir()).entryList({"quorvane-prompt-*"}, QDir::Files);
        if (!prompts.isEmpty())
            problem("staged prompts left", prompts.join(u' '), int(prompts.size()));
        for (const QString &name : std::as_const(m_leftovers)) {
            if (QFileInfo::exists(sessionsDir() + u'/' + name) && !m_keptSaveFiles.contains(name)) {
                problem("save files kept by a restart", QStringLiteral("Sessions/") + name);
                m_keptSaveFiles.insert(name);
            }
        }
        const QHash<QString, QJsonArray> found = sessionsIn(state);
        for (auto it = m_shown.begin(); it != m_shown.end();) {
            const QJsonArray there = found.value(it.key());
            // Messages only ever come after those shown.
            const bool prefix = there.size() >= it->size() && std::equal(it->begin(), it->end(), there.begin());
            if (!found.contains(it.key()))
                problem("lost conversations", it.key());
            else if (!prefix)
                problem("lost messages",
                        QStringLiteral("%1 (%2 shown, %3 found)").arg(it.key()).arg(it->size()).arg(there.size()));
            // Each loss counts once.
            it = found.contains(it.key()) && prefix ? std::next(it) : m_shown.erase(it);
        }
        const QHash<QString, QString> models = modelsIn(state);
        for (auto it = m_models.begin(); it != m_models.end();) {
            const bool whole = models.value(it.key()) == *it && QFileInfo(*it).size() == QFileInfo(TINY_GGUF).size();
            if (!whole)
                problem("lost models", QStringLiteral("%1 (%2)").arg(it.key(), *it));
            it = whole ? std::next(it) : m_models.erase(it);
        }
        for (const QString &id : std::as_const(m_deleted))
            if (found.contains(id) || models.contains(id))
                problem("deleted ones back", id);
        return observe(state);
    }

    QString sessionsDir() const { return m_home.dataDir() + QStringLiteral("/Sessions"); }

    // What is on disk after the kill, read as the application reads it.
    void checkDisk()
    {
        // Files the store does not read (save files a kill left behind) are
        // counted, not read.
        for (const QString &name : QDir(sessionsDir()).entryList(QDir::Files | QDir::Hidden))
            if (!name.endsWith(QLatin1String(".json")))
                m_leftovers.insert(name);
        for (const QFileInfo &entry : QDir(sessionsDir()).entryInfoList({"*.json"}, QDir::Files | QDir::Hidden)) {
            recordjson::DecodeError error;
            if (!recordjson::decodeSessionDocument(readFileBytes(entry.absoluteFilePath()), &error))
                problem("unreadable files", QStringLiteral("Sessions/%1: %2").arg(entry.fileName(), error.text));
        }
        const QSettings settings(m_home.configFile(), QSettings::IniFormat);
        recordjson::DecodeError error;
        const auto models = recordjson::decodeModelList(
            settings.value(QLatin1String(prefkeys::kDownloadedModels)).toByteArray(), &error);
        const QStringList aside = QDir(m_home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")})
                                  + QDir(QFileInfo(m_home.configFile()).path()).entryList({"*.unreadable*"});
        const bool first = models && std::any_of(models->begin(), models->end(), [&](const AIModel &m) {
            return canonicalUuid(m.id) == m_firstModel;
        });
        if (!first || settings.status() != QSettings::NoError || !aside.isEmpty())
            problem("unreadable model lists",
                    QStringLiteral("unreadable or without the model: %1 %2").arg(error.text, aside.join(u' ')));
    }

    // Takes in what the application shows now; false when it did not answer.
    bool observe(const QJsonObject &state)
    {
        if (!state.value(QStringLiteral("ok")).toBool())
            return false;
        const auto sessions = sessionsIn(state);
        for (auto it = sessions.cbegin(); it != sessions.cend(); ++it)
            if (!m_pendingDeletes.contains(it.key()))
                m_shown.insert(it.key(), *it);
        const QHash<QString, QString> models = modelsIn(state);
        for (auto it = models.cbegin(); it != models.cend(); ++it)
            if (!m_modelDeletes.contains(it.key()))
                m_models.insert(it.key(), *it);
        for (const QString &id : std::as_const(m_pendingDeletes))
            if (!sessions.contains(id))
                m_deleted.insert(id);
        m_pendingDeletes.clear();
        // A model stays asked-for until it is gone: a kill in the middle of
        // its deletion may leave its record without its file.
        for (auto it = m_modelDeletes.begin(); it != m_modelDeletes.end();)
            it = models.contains(*it) ? std::next(it) : (m_deleted.insert(*it), m_modelDeletes.erase(it));
        m_current = state.value(QStringLiteral("current")).toString();
        m_generating = state.value(QStringLiteral("generating")).toBool();
        return true;
    }

    QString anySession()
    {
        const QStringList ids = m_shown.keys();
        return ids.isEmpty() ? QString() : ids.at(std::uniform_int_distribution<qsizetype>(0, ids.size() - 1)(m_random));
    }

    // One random step of a user; false once the application is gone.
    bool act(AppProcess &app)
    {
        ++g_actions;
        const int roll = std::uniform_int_distribution<int>(0, 99)(m_random);
        const auto invoke = [&](const char *method, const QStringList &arguments = {}, const char *object = "state") {
            return app.ok(QStringList{"invoke", object, method} + arguments);
        };
        bool ok = true;
        if (roll < 3) { // a model from the picker's Local File tab, copied in
            const QString source = m_home.home() + QStringLiteral("/sources/model-%1-%2.gguf").arg(g_kill).arg(g_actions);
            ok = QFile::link(QStringLiteral(TINY_GGUF), source) && app.ok({QStringLiteral("import"), source})
                 && invoke("answerConfirmation", {QStringLiteral("true")}, "picker");
        } else if (roll < 5 && (m_models.size() > 1 || !m_modelDeletes.isEmpty())) { // never the model replies use
            const QString id = !m_modelDeletes.isEmpty()             ? *m_modelDeletes.cbegin()
                               : m_models.firstKey() == m_firstModel ? m_models.lastKey()
                                                                     : m_models.firstKey();
            m_models.remove(id);
            m_modelDeletes.insert(id);
            ok = invoke("deleteModelById", {id});
        } else if (roll < 20 || m_shown.isEmpty()) {
            ok = invoke("createNewChat");
        } else if (roll < 30 || m_shown.size() > 12) {
            const QString id = anySession();
            m_shown.remove(id);
            m_pendingDeletes.insert(id);
            ok = invoke("deleteSessionById", {id});
        } else if (roll < 40) {
            ok = invoke("selectSessionById", {anySession()});
        } else if (roll < 75 && !m_generating && !m_current.isEmpty()) {
            ok = app.sendMessage(QStringLiteral("Message %1 of round %2").arg(++g_messagesSent).arg(g_kill));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 60)(m_random)));
        }
        return ok && observe(app.state());
    }

    TempHome m_home;
    std::mt19937 m_random;
    QHash<QString, QJsonArray> m_shown; // the conversations shown, with their messages
    QMap<QString, QString> m_models;    // the downloaded models shown: id -> file
    QString m_firstModel;               // the one replies use, never deleted
    QSet<QString> m_deleted;            // conversations and models shown gone
    QSet<QString> m_pendingDeletes;     // conversations asked for, not yet shown gone
    QSet<QString> m_modelDeletes;       // models asked for, not yet shown gone
    QSet<QString> m_leftovers;
    QSet<QString> m_keptSaveFiles;
    QString m_current;
    bool m_generating = false;
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
    for (g_kill = 1; g_kill <= kills; ++g_kill)
        campaign.round();
    QStringList counts;
    for (const char *kind : kProblems)
        counts << QStringLiteral("%1 %2").arg(QLatin1String(kind)).arg(g_problems.value(QLatin1String(kind)));
    std::printf("kills %d, restarts checked %d, actions %d, messages sent %d, %.1f s\n%s\n"
                "save files left by kills (not read by the application) %d\n",
                kills, g_restartsChecked, g_actions, g_messagesSent,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                qPrintable(counts.join(u", ")), campaign.leftovers());
    return g_problems.isEmpty() && g_restartsChecked > 0 ? 0 : 1; // an application that never answered proves nothing
}
