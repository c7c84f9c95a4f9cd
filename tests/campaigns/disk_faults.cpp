// Disk-fault campaign: runs each operation that writes the user's data with
// the N-th open, write, fsync or rename of the application under its data
// folder failing (ENOSPC or EIO, through the preloaded fault_shim), for every
// N the operation reaches (the tar that unpacks an installation is left to the
// installer test's failing archives). After each fault it checks that the
// user was told (the completion's message, or the log line where no one
// waits), that the disk holds the previous good state or the complete new one
// and nothing half-written, and that the same operation succeeds once the
// fault is gone.
//
//   disk_faults [--full]
//
// The suite's short form tries a few sites of each call, with one errno each;
// --full tries every site with both. Prints one line per problem and the
// figures per scenario; exits 1 on any problem.
#include "app/app_state.h"
#include "common/nginx_server.h"
#include "common/test_support.h"
#include "core/file_manager_utility.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "models/model_download_manager.h"
#include "provisioning/install_fixtures.h"
#include "provisioning/llama_installer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSettings>

#include <dlfcn.h>
#include <unistd.h>

namespace {

using ArmFunction = void (*)(const char *);
using CountFunction = long (*)(int);
ArmFunction g_arm = nullptr;
CountFunction g_count = nullptr;

const char *const kOps[] = {"open", "write", "fsync", "rename"};
constexpr int kOpCount = 4;
constexpr int kFired = kOpCount; // counted as the faults fired

// What the operation told its user: failed or not, and in which words.
struct Result {
    bool failed = false;
    QString message;
};

// The served side of the download and installation scenarios, shared by all.
struct Served {
    QTemporaryDir dir;
    std::unique_ptr<NginxServer> server;
    QByteArray model = randomBytes(96 * 1024);
    QByteArray program = readFileBytes(QStringLiteral(FAKE_LLAMA_COMPLETION));

    bool start()
    {
        const QString root = dir.filePath(QStringLiteral("www"));
        const QString stage = dir.filePath(QStringLiteral("stage"));
        // The archive must be larger than a megabyte to look like a release.
        if (!writeBytes(root + QStringLiteral("/files/model.gguf"), model)
            || !writeBytes(stage + QStringLiteral("/llama-b1/llama-completion"), program, true)
            || !writeBytes(stage + QStringLiteral("/llama-b1/libpadding.so"), randomBytes(1100 * 1024))
            || !packFolder(stage, QStringLiteral("llama-b1"), root + QStringLiteral("/files/llama.tar.gz")))
            return false;
        server = std::make_unique<NginxServer>(root);
        return server->start() && writeBytes(root + QStringLiteral("/api/repos/ggml-org/llama.cpp/releases"),
                          "[{\"tag_name\":\"b1\",\"assets\":[{\"name\":\"llama-b1-bin-"
                              + LlamaInstaller::assetSuffix().toUtf8() + "\",\"browser_download_url\":\""
                              + server->baseUrl().toUtf8() + "/files/llama.tar.gz\"}]}]");
    }
};
Served *g_served = nullptr;

// One operation on a fresh data folder.
class Scenario {
public:
    virtual ~Scenario() = default;
    // Builds the previous good state, with no fault armed.
    virtual bool prepare() { return true; }
    virtual Result act() = 0;
    // A problem with what is on disk after act, or empty.
    virtual QString check(const Result &result) = 0;
    // Runs the operation again with no fault; a problem, or empty.
    virtual QString retry()
    {
        const Result again = act();
        return again.failed ? QStringLiteral("the retry failed: ") + again.message : check(again);
    }

    TempHome home;
    LogCapture log;

protected:
    LlamaCPPManager engine;
    std::unique_ptr<AppState> state;

    // The error lines logged since act began, as the message of a failure
    // that no one waits for.
    Result fromLog(const QString &pattern) const
    {
        const QStringList lines = log.lines().filter(QRegularExpression(pattern));
        return {!lines.isEmpty(), lines.join(u'\n')};
    }
    // The entries of a folder other than those named, as a problem.
    static QString debris(const QString &where, const QString &dir, const QStringList &expected)
    {
        QStringList extra = folderEntries(dir);
        for (const QString &name : expected)
            extra.removeAll(name);
        return extra.isEmpty() ? QString() : QStringLiteral("left in %1: ").arg(where) + extra.join(u' ');
    }
    // A stored list that is neither the new one nor, after a failure, the
    // previous good one, as a problem.
    static QString unlike(const QString &what, const QStringList &stored, const QStringList &next,
                          const QStringList &good, const Result &result)
    {
        if (stored == next || (result.failed && stored == good))
            return QString();
        return QStringLiteral("%1 holds [%2]").arg(what, stored.join(u','));
    }
};

class ConversationSave : public Scenario {
public:
    bool prepare() override
    {
        state = std::make_unique<AppState>(engine);
        state->createNewChat();
        state->addMessage(ChatMessage::make(QStringLiteral("first"), true));
        return state->currentSession().has_value();
    }
    Result act() override
    {
        log.clear();
        state->addMessage(ChatMessage::make(QStringLiteral("second"), false));
        return fromLog(QStringLiteral("Error: could not write conversation"));
    }
    QString check(const Result &result) override
    {
        const QString problem = unlike(QStringLiteral("the conversation"), stored(), {"first", "second"}, {"first"},
                                       result);
        return problem.isEmpty() ? debris(QStringLiteral("Sessions"), sessions(), {fileName()}) : problem;
    }
    QString retry() override
    {
        state->addMessage(ChatMessage::make(QStringLiteral("third"), true));
        return unlike(QStringLiteral("after the retry the conversation"), stored(), {"first", "second", "third"},
                      {}, {});
    }

private:
    QString sessions() const { return home.dataDir() + QStringLiteral("/Sessions"); }
    QString fileName() const { return canonicalUuid(state->currentSession()->id) + QStringLiteral(".json"); }
    // The texts of the stored messages, or a word for what is wrong.
    QStringList stored() const
    {
        const auto session = recordjson::decodeSessionDocument(readFileBytes(sessions() + u'/' + fileName()));
        QStringList texts;
        for (const ChatMessage &message : session ? session->messages : QList<ChatMessage>())
            texts << message.content;
        return session ? texts : QStringList{QStringLiteral("<missing or unreadable>")};
    }
};

// A download from the loopback server into ResumeData, then the move of the
// finished file into Models.
class Download : public Scenario {
public:
    Result act() override
    {
        std::optional<ModelDownloadManager::DownloadResult> outcome;
        downloads.downloadModel(QUrl(g_served->server->baseUrl() + QStringLiteral("/files/model.gguf")), id, {},
                                 [&](const ModelDownloadManager::DownloadResult &r) { outcome = r; });
        if (!waitUntil([&] { return outcome.has_value(); }, 30000))
            return {true, QString()};
        return outcome->succeeded() ? Result() : Result{true, outcome->error ? outcome->error->description() : ""};
    }
    QString check(const Result &result) override
    {
        const QString models = downloads.modelsDirectory();
        const QString file = canonicalUuid(id) + QStringLiteral(".gguf");
        if (!result.failed && readFileBytes(models + QLatin1Char('/') + file) != g_served->model)
            return QStringLiteral("the finished file is not the served one");
        return debris(QStringLiteral("Models"), models, result.failed ? QStringList() : QStringList{file});
    }

private:
    ModelDownloadManager downloads;
    QUuid id = QUuid::createUuid();
};

// The Local File copy into Models, then the save of the model list (which
// held one model) in the preferences.
class Import : public Scenario {
public:
    bool prepare() override
    {
        state = std::make_unique<AppState>(engine);
        state->updateSystemPrompt(kPrompt);
        state->addModel(AIModel::make(QStringLiteral("A"), QStringLiteral("http://127.0.0.1:9/a.gguf")));
        return writeBytes(source.filePath(QStringLiteral("local.gguf")), bytes) && stored() == QStringList{"A"};
    }
    Result act() override
    {
        log.clear();
        std::optional<std::optional<QString>> error;
        FileManagerUtility::ensureDirectoryExists(models());
        state->importModelFile(source.filePath(QStringLiteral("local.gguf")), copy(),
                               [&](const std::optional<QString> &e) { error = e; });
        if (!waitUntil([&] { return error.has_value(); }, 30000))
            return {true, QString()};
        imported = !error->has_value();
        return imported ? fromLog(QStringLiteral("Error: (Failed to save models|could not write preferences)"))
                        : Result{true, **error};
    }
    QString check(const Result &result) override
    {
        if (!result.failed && readFileBytes(copy()) != bytes)
            return QStringLiteral("the copy is not the original");
        const QFileInfo config(home.configFile());
        QString problem = unlike(QStringLiteral("the model list"), stored(), {"A", "local " + copy()}, {"A"}, result);
        if (problem.isEmpty())
            problem = debris(QStringLiteral("the preferences' folder"), config.path(), {config.fileName()});
        const QStringList copies = imported ? QStringList{"local.gguf"} : QStringList();
        return problem.isEmpty() ? debris(QStringLiteral("Models"), models(), copies) : problem;
    }
    QString retry() override
    {
        if (!imported)
            return Scenario::retry();
        state->saveModels(); // the next change of the list
        return check({});
    }

private:
    QString models() const { return home.dataDir() + QStringLiteral("/Models"); }
    QString copy() const { return models() + QStringLiteral("/local.gguf"); }
    // The stored models as "name file", or a word for what is wrong; the
    // system prompt stored beside the list must survive every write of it.
    QStringList stored() const
    {
        const QSettings settings(home.configFile(), QSettings::IniFormat);
        if (settings.status() != QSettings::NoError)
            return {QStringLiteral("<unreadable file>")};
        if (settings.value(QStringLiteral("systemPrompt")).toString() != kPrompt)
            return {QStringLiteral("<system prompt lost>")};
        const auto models = recordjson::decodeModelList(settings.value(QStringLiteral("downloadedModels")).toByteArray());
        if (!models)
            return {QStringLiteral("<unreadable list>")};
        QStringList names;
        for (const AIModel &model : *models)
            names << (model.name + u' ' + model.filePath).trimmed();
        return names;
    }

    static inline const QString kPrompt = QStringLiteral("Keep this prompt.");
    QTemporaryDir source;
    QByteArray bytes = randomBytes(40 * 1024);
    bool imported = false;
};

// The prebuilt install: the archive downloaded into the data folder, unpacked
// by tar into a private folder, moved into place. With the sources
// unreachable, a failure ends the install.
class Install : public Scenario {
public:
    Install() : installer(engine)
    {
        installer.setApiHost(g_served->server->baseUrl() + QStringLiteral("/api"));
        installer.setSourceHost(QStringLiteral("file:///nonexistent-source-host"));
    }
    Result act() override
    {
        log.clear();
        std::optional<Result> outcome;
        installer.installPrebuiltLlamaCPP([&](bool ok, const std::optional<QString> &message) {
            outcome = Result{!ok, message.value_or(QString())};
        });
        if (!waitUntil([&] { return outcome.has_value(); }, 60000))
            return {true, QString()};
        // The prebuilt install's own failure is logged before the source
        // build (which cannot reach its host here) gives the answer.
        if (outcome->failed)
            outcome->message.prepend(fromLog(QStringLiteral("Prebuilt install failed")).message + u'\n');
        return *outcome;
    }
    QString check(const Result &result) override
    {
        const QString program = home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion");
        if (QFileInfo::exists(program) && readFileBytes(program) != g_served->program)
            return QStringLiteral("a damaged llama-completion is installed");
        if (!result.failed && !QFileInfo::exists(program))
            return QStringLiteral("reported installed, but no llama-completion");
        return debris(QStringLiteral("the data folder"), home.dataDir(), {"llama.cpp"});
    }

private:
    LlamaInstaller installer;
};

// One run of a fresh scenario with the shim armed by the fault description
// (its root added).
struct Case {
    Result result;
    long counts[kOpCount + 1] = {}; // and the faults fired
    QStringList problems;
};

template <class S>
Case runCase(const QString &fault)
{
    Case run;
    S scenario;
    if (!scenario.prepare())
        return {{}, {}, {QStringLiteral("could not prepare")}};
    g_arm(QStringLiteral("root=%1 %2").arg(scenario.home.home(), fault).toUtf8().constData());
    run.result = scenario.act();
    for (int op = 0; op <= kFired; ++op)
        run.counts[op] = g_count(op);
    g_arm("");
    const QString told = run.result.message.trimmed();
    if (run.result.failed && told.isEmpty())
        run.problems << QStringLiteral("failed without a message");
    if (run.result.failed && run.counts[kFired] == 0)
        run.problems << QStringLiteral("failed with no fault: ") + told;
    run.problems << scenario.check(run.result);
    // A fault the operation absorbed needs no retry.
    run.problems << (run.result.failed ? scenario.retry() : QString());
    run.problems.removeAll(QString());
    return run;
}

// Tries the sites of the scenario; counts its cases and those with a problem.
template <class S>
void runScenario(const char *name, bool full, int &cases, int &problems)
{
    const Case counting = runCase<S>(QStringLiteral("op=none"));
    if (!counting.problems.isEmpty()) {
        std::printf("%s: %s\n", name, qPrintable(counting.problems.join(QStringLiteral("; "))));
        ++problems;
        return;
    }
    int tried = 0, reported = 0, absorbed = 0, failing = 0;
    for (int op = 0; op < kOpCount; ++op) {
        const long count = counting.counts[op];
        for (long n = 1; n <= count; ++n) {
            // The short form: the first two, the middle and the last two
            // sites, with the errno alternating.
            if (!full && count > 6 && n > 2 && n != count / 2 && n < count - 1)
                continue;
            for (const char *error : full ? QList{"ENOSPC", "EIO"} : QList{n % 2 == 0 ? "EIO" : "ENOSPC"}) {
                const QString where = QStringLiteral("op=%1 n=%2 errno=%3").arg(kOps[op]).arg(n).arg(error);
                const Case run = runCase<S>(where);
                ++tried;
                if (run.counts[kFired] > 0)
                    ++(run.result.failed ? reported : absorbed);
                if (!run.problems.isEmpty()) {
                    ++failing;
                    std::printf("%s: %s: %s%s\n", name, qPrintable(where), qPrintable(run.problems.join(QStringLiteral("; "))),
                                run.result.failed ? qPrintable(QStringLiteral(" [told: %1]").arg(run.result.message.trimmed())) : "");
                }
            }
        }
    }
    std::printf("%s: sites open %ld, write %ld, fsync %ld, rename %ld; %d cases, %d faults fired: %d reported, "
                "%d absorbed; %d problems\n",
                name, counting.counts[0], counting.counts[1], counting.counts[2], counting.counts[3], tried,
                reported + absorbed, reported, absorbed, failing);
    std::fflush(stdout);
    cases += tried;
    problems += failing;
}

} // namespace

int main(int argc, char *argv[])
{
    // The shim must be loaded before anything else: start again with it.
    g_arm = reinterpret_cast<ArmFunction>(dlsym(RTLD_DEFAULT, "quorvane_fault_arm"));
    g_count = reinterpret_cast<CountFunction>(dlsym(RTLD_DEFAULT, "quorvane_fault_count"));
    if (!g_arm || !g_count) {
        if (qEnvironmentVariableIsSet("LD_PRELOAD")) {
            std::fprintf(stderr, "disk_faults: the fault shim did not load\n");
            return 2;
        }
        ::setenv("LD_PRELOAD", QUORVANE_FAULT_SHIM, 1);
        ::execv("/proc/self/exe", argv);
        std::perror("disk_faults: exec");
        return 2;
    }
    ::unsetenv("LD_PRELOAD"); // not for the servers and programs it starts
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*.info=true"));
    const bool full = app.arguments().contains(QStringLiteral("--full"));
    Served served;
    if (!served.start()) {
        std::fprintf(stderr, "disk_faults: could not start the loopback server\n");
        return 2;
    }
    g_served = &served;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // quiet, captured only

    int cases = 0, problems = 0;
    runScenario<ConversationSave>("save conversation", full, cases, problems);
    runScenario<Download>("download and move into Models", full, cases, problems);
    runScenario<Import>("import copy and model list save", full, cases, problems);
    runScenario<Install>("installation download and move", full, cases, problems);
    std::printf("disk faults%s: %d cases, %d problems\n", full ? " (full)" : "", cases, problems);
    return problems == 0 ? 0 : 1;
}
