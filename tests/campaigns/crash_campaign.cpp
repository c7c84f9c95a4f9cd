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
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSettings>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <random>
#include <thread>

namespace {

struct Figures {
    int kills = 0;
    int restartsChecked = 0;
    int lostConversations = 0;
    int lostMessages = 0;
    int resurrected = 0;
    int unreadableFiles = 0;
    int unreadableModelLists = 0;
    int lostModels = 0;
    int leftPrompts = 0;
    int leftChildren = 0;
    int leftSaveFiles = 0; // save files a kill left in Sessions/ that a restart kept
    int actions = 0;
    int messagesSent = 0;
    int leftovers = 0; // save files left by kills, beside the store and the preferences

    bool clean() const
    {
        return lostConversations + lostMessages + resurrected + unreadableFiles + unreadableModelLists + lostModels
                   + leftPrompts + leftChildren + leftSaveFiles
               == 0;
    }
};

// What the application has shown: the conversations with their messages, the
// downloaded models with their files, and what it has shown gone.
struct Shown {
    QHash<QString, QJsonArray> sessions;
    QSet<QString> deletedSessions;
    QHash<QString, QString> models; // id -> file
    QSet<QString> deletedModels;
};

Figures g_figures;

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

void problem(int kill, const QString &text)
{
    std::printf("kill %d: %s\n", kill, qPrintable(text));
    std::fflush(stdout);
}

// Kills a process at a set time unless cancelled first.
class Killer {
public:
    Killer(qint64 pid, int afterMs)
        : m_thread([this, pid, afterMs, cancelled = m_cancel.get_future()] {
              if (cancelled.wait_for(std::chrono::milliseconds(afterMs)) == std::future_status::timeout) {
                  ::kill(pid_t(pid), SIGKILL);
                  m_fired = true;
              }
          })
    {
    }
    ~Killer() { cancel(); }
    void cancel()
    {
        if (!m_thread.joinable())
            return;
        m_cancel.set_value();
        m_thread.join();
    }
    bool fired() const { return m_fired; }

private:
    std::promise<void> m_cancel;
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};

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

    void round(int kill)
    {
        m_kill = kill;
        AppProcess app({}, m_home.home() + QStringLiteral("/app.log"));
        // One kill in ten lands while the application starts; the others
        // while it is driven, however long a busy machine takes to start it.
        const int afterMs = std::uniform_int_distribution<int>(0, 1200)(m_random);
        std::optional<Killer> killer;
        if (kill % 10 == 0)
            killer.emplace(app.pid(), afterMs);
        bool restartChecked = false;
        if (app.connect()) {
            restartChecked = checkRestart(app);
            if (!killer)
                killer.emplace(app.pid(), afterMs);
            while (!killer->fired() && act(app)) {
            }
        }
        if (killer)
            killer->cancel();
        if (!killer || !killer->fired())
            app.signal(SIGKILL);
        app.waitForExit();
        ++g_figures.kills;
        if (restartChecked)
            ++g_figures.restartsChecked;
        checkDisk();
    }

    QString home() const { return m_home.home(); }

private:
    // The application's view right after it started again.
    bool checkRestart(AppProcess &app)
    {
        const QJsonObject listed = app.send({QStringLiteral("sessions")});
        const QJsonObject state = app.state();
        if (!listed.value(QStringLiteral("ok")).toBool() || !state.value(QStringLiteral("ok")).toBool())
            return false; // killed while starting
        const QStringList prompts = QDir(m_home.runtimeDir()).entryList({QStringLiteral("quorvane-prompt-*")}, QDir::Files);
        if (!prompts.isEmpty()) {
            problem(m_kill, QStringLiteral("staged prompts left after the restart: ") + prompts.join(u' '));
            g_figures.leftPrompts += int(prompts.size());
        }
        for (const QString &name : std::as_const(m_leftovers)) {
            const QString path = m_home.dataDir() + QStringLiteral("/Sessions/") + name;
            if (QFileInfo::exists(path) && !m_keptSaveFiles.contains(name)) {
                problem(m_kill, QStringLiteral("save file left after the restart: Sessions/") + name);
                m_keptSaveFiles.insert(name);
                ++g_figures.leftSaveFiles;
            }
        }
        QHash<QString, QJsonArray> sessions;
        for (const QJsonValue &s : listed.value(QStringLiteral("sessions")).toArray())
            sessions.insert(s[QStringLiteral("id")].toString(), s[QStringLiteral("messages")].toArray());
        compareSessions(sessions, QStringLiteral("after the restart"));
        QHash<QString, QString> models;
        for (const QJsonValue &m : state.value(QStringLiteral("models")).toArray())
            if (m[QStringLiteral("isDownloaded")].toBool())
                models.insert(m[QStringLiteral("id")].toString(), m[QStringLiteral("filePath")].toString());
        compareModels(models, QStringLiteral("after the restart"));
        observe(listed, state);
        return true;
    }

    void compareSessions(const QHash<QString, QJsonArray> &found, const QString &where)
    {
        QStringList forgotten;
        for (auto it = m_shown.sessions.cbegin(); it != m_shown.sessions.cend(); ++it) {
            const auto there = found.constFind(it.key());
            if (there == found.cend()) {
                problem(m_kill, QStringLiteral("conversation %1 lost %2").arg(it.key(), where));
                ++g_figures.lostConversations;
                forgotten << it.key();
                continue;
            }
            // Messages only ever come after those shown.
            bool prefix = there->size() >= it->size();
            for (qsizetype i = 0; prefix && i < it->size(); ++i)
                prefix = there->at(i) == it->at(i);
            if (!prefix) {
                problem(m_kill, QStringLiteral("conversation %1 lost messages %2 (%3 shown, %4 found)")
                                    .arg(it.key(), where).arg(it->size()).arg(there->size()));
                ++g_figures.lostMessages;
                forgotten << it.key();
            }
        }
        // Each loss counts once.
        for (const QString &id : std::as_const(forgotten))
            m_shown.sessions.remove(id);
        countBack(m_shown.deletedSessions, found, QStringLiteral("conversation"), where);
    }

    template <class Found>
    void countBack(const QSet<QString> &deleted, const Found &found, const QString &what, const QString &where)
    {
        for (const QString &id : deleted) {
            if (found.contains(id)) {
                problem(m_kill, QStringLiteral("deleted %1 %2 is back %3").arg(what, id, where));
                ++g_figures.resurrected;
            }
        }
    }

    void compareModels(const QHash<QString, QString> &found, const QString &where)
    {
        for (auto it = m_shown.models.begin(); it != m_shown.models.end();) {
            if (!found.contains(it.key()) || QFileInfo(*it).size() != QFileInfo(QStringLiteral(TINY_GGUF)).size()) {
                problem(m_kill, QStringLiteral("model %1 lost %2").arg(it.key(), where));
                ++g_figures.lostModels;
                it = m_shown.models.erase(it);
            } else {
                ++it;
            }
        }
        countBack(m_shown.deletedModels, found, QStringLiteral("model"), where);
    }

    // What is on disk after the kill, read as the application reads it.
    void checkDisk()
    {
        if (!waitUntil([&] { return processesWith(m_program) == 0; }, 5000)) {
            problem(m_kill, QStringLiteral("llama-completion outlived the application"));
            ++g_figures.leftChildren;
            killProcessesWith(m_program);
        }
        const QString sessionsDir = m_home.dataDir() + QStringLiteral("/Sessions");
        QHash<QString, QJsonArray> sessions;
        // Files the store does not read (a save file a kill left behind) are
        // counted, not read.
        for (const QString &name : QDir(sessionsDir).entryList(QDir::Files | QDir::Hidden))
            if (!name.endsWith(QLatin1String(".json")))
                m_leftovers.insert(name);
        for (const QString &name : QDir(QFileInfo(m_home.configFile()).path()).entryList(QDir::Files | QDir::Hidden))
            if (name.startsWith(QLatin1String("Quorvane.conf.")) && !name.endsWith(QLatin1String(".lock")))
                m_leftovers.insert(name);
        g_figures.leftovers = int(m_leftovers.size());
        for (const QFileInfo &entry : QDir(sessionsDir).entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
            QFile file(entry.absoluteFilePath());
            recordjson::DecodeError error;
            std::optional<ChatSession> session;
            if (file.open(QIODevice::ReadOnly))
                session = recordjson::decodeSessionDocument(file.readAll(), &error);
            if (!session) {
                problem(m_kill, QStringLiteral("unreadable file Sessions/%1: %2").arg(entry.fileName(), error.text));
                ++g_figures.unreadableFiles;
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
                                  + QDir(QFileInfo(m_home.configFile()).path()).entryList({QStringLiteral("*.unreadable*")});
        recordjson::DecodeError error;
        const auto models = list.isEmpty() ? std::optional<QList<AIModel>>(QList<AIModel>{})
                                           : recordjson::decodeModelList(list, &error);
        if (!models || settings.status() != QSettings::NoError || !aside.isEmpty()) {
            problem(m_kill, QStringLiteral("unreadable model list: %1 %2").arg(error.text, aside.join(u' ')));
            ++g_figures.unreadableModelLists;
            return;
        }
        QHash<QString, QString> found;
        for (const AIModel &model : *models)
            if (model.isDownloaded)
                found.insert(canonicalUuid(model.id), model.filePath);
        compareModels(found, QStringLiteral("on disk"));
    }

    // Takes in what the application shows now.
    void observe(const QJsonObject &listed, const QJsonObject &state)
    {
        if (listed.value(QStringLiteral("ok")).toBool()) {
            QSet<QString> present;
            for (const QJsonValue &s : listed.value(QStringLiteral("sessions")).toArray()) {
                const QString id = s[QStringLiteral("id")].toString();
                present.insert(id);
                if (!m_pendingDeletes.contains(id))
                    m_shown.sessions.insert(id, s[QStringLiteral("messages")].toArray());
            }
            m_current = listed.value(QStringLiteral("current")).toString();
            for (const QString &id : std::as_const(m_pendingDeletes))
                if (!present.contains(id))
                    m_shown.deletedSessions.insert(id);
            m_pendingDeletes.clear();
        }
        if (state.value(QStringLiteral("ok")).toBool()) {
            QSet<QString> present;
            for (const QJsonValue &m : state.value(QStringLiteral("models")).toArray()) {
                const QString id = m[QStringLiteral("id")].toString();
                present.insert(id);
                if (m[QStringLiteral("isDownloaded")].toBool() && !m_pendingModelDeletes.contains(id))
                    m_shown.models.insert(id, m[QStringLiteral("filePath")].toString());
            }
            // A model stays asked-for-deletion until it is gone: a kill in
            // the middle of a deletion may leave its record without its file.
            for (auto it = m_pendingModelDeletes.begin(); it != m_pendingModelDeletes.end();) {
                if (present.contains(*it)) {
                    ++it;
                    continue;
                }
                m_shown.deletedModels.insert(*it);
                it = m_pendingModelDeletes.erase(it);
            }
            m_generating = state.value(QStringLiteral("generating")).toBool();
            m_hasModel = !state.value(QStringLiteral("selectedModel")).toString().isEmpty();
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
        ++g_figures.actions;
        const int roll = std::uniform_int_distribution<int>(0, 99)(m_random);
        bool ok = true;
        const auto send = [&](const QStringList &command) {
            ok = ok && app.send(command).value(QStringLiteral("ok")).toBool();
        };
        if (!m_hasModel || roll < 3) {
            // A model from the picker's Local File tab, copied in.
            const QString source = m_home.home() + QStringLiteral("/sources/model-%1-%2.gguf").arg(m_kill).arg(roll);
            QFile::link(QStringLiteral(TINY_GGUF), source);
            send({QStringLiteral("import"), source});
            send({QStringLiteral("invoke"), QStringLiteral("picker"), QStringLiteral("answerConfirmation"), QStringLiteral("true")});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (roll < 5 && (m_shown.models.size() > 1 || !m_pendingModelDeletes.isEmpty())) {
            // A model again, or one whose deletion a kill interrupted.
            const QString id = m_pendingModelDeletes.isEmpty() ? m_shown.models.keys().first()
                                                               : *m_pendingModelDeletes.cbegin();
            m_shown.models.remove(id);
            m_pendingModelDeletes.insert(id);
            send({QStringLiteral("invoke"), QStringLiteral("state"), QStringLiteral("deleteModelById"), id});
        } else if (roll < 20 || m_shown.sessions.isEmpty()) {
            send({QStringLiteral("invoke"), QStringLiteral("state"), QStringLiteral("createNewChat")});
        } else if (roll < 30 || m_shown.sessions.size() > 12) {
            const QString id = anySession();
            m_shown.sessions.remove(id);
            m_pendingDeletes.insert(id);
            send({QStringLiteral("invoke"), QStringLiteral("state"), QStringLiteral("deleteSessionById"), id});
        } else if (roll < 40) {
            send({QStringLiteral("invoke"), QStringLiteral("state"), QStringLiteral("selectSessionById"), anySession()});
        } else if (roll < 75 && !m_generating && !m_current.isEmpty()) {
            const QString text = QStringLiteral("Message %1 of round %2").arg(++g_figures.messagesSent).arg(m_kill);
            send({QStringLiteral("type"), QStringLiteral("Send a message"), text});
            send({QStringLiteral("key"), QStringLiteral("Send a message"), QStringLiteral("Return")});
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 60)(m_random)));
        }
        if (!ok)
            return false;
        const QJsonObject listed = app.send({QStringLiteral("sessions")});
        const QJsonObject state = app.state();
        observe(listed, state);
        return listed.value(QStringLiteral("ok")).toBool() && state.value(QStringLiteral("ok")).toBool();
    }

    TempHome m_home;
    std::mt19937 m_random;
    int m_kill = 0;
    QByteArray m_program;
    Shown m_shown;
    QSet<QString> m_pendingDeletes;
    QSet<QString> m_leftovers;
    QSet<QString> m_keptSaveFiles;
    QSet<QString> m_pendingModelDeletes;
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
    const Figures &f = g_figures;
    double seconds = 0;
    for (int kill = 1; kill <= kills; ++kill) {
        campaign.round(kill);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (kill % 100 == 0 && kill < kills)
            std::printf("%d kills, %d restarts checked, %d actions, %.1f s, %s\n", f.kills, f.restartsChecked,
                        f.actions, seconds, f.clean() ? "nothing lost so far" : "PROBLEMS");
        std::fflush(stdout);
    }
    std::printf("kills %d, restarts checked %d, actions %d, messages sent %d, %.1f s\n"
                "lost conversations %d, lost messages %d, deleted ones back %d, unreadable files %d, "
                "unreadable model lists %d, lost models %d, staged prompts left %d, children left %d, "
                "save files kept by a restart %d\n"
                "save files left by kills (not read by the application) %d\n",
                f.kills, f.restartsChecked, f.actions, f.messagesSent, seconds, f.lostConversations, f.lostMessages,
                f.resurrected, f.unreadableFiles, f.unreadableModelLists, f.lostModels, f.leftPrompts,
                f.leftChildren, f.leftSaveFiles, f.leftovers);
    if (!f.clean()) {
        const QString kept = QDir::tempPath() + QStringLiteral("/crash-campaign-home");
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), kept});
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), campaign.home(), kept});
        std::printf("its home is kept in %s\n", qPrintable(kept));
    }
    return f.clean() ? 0 : 1;
}
