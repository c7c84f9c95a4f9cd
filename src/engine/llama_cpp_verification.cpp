// Whether the installed llama-completion runs: the --version check and the
// warm-up after an installation.
#include "engine/llama_cpp_manager.h"

#include "platform/child_process.h"
#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QStringDecoder>

#include <sys/stat.h>

namespace {

// The texts of this file shown to the user, translated in the context "Installer".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Installer)
};

struct Verdict {
    bool success = false;
    std::optional<QString> message;
};

// A buffer that is not UTF-8 counts as empty.
QString decodeOrEmpty(const QByteArray &bytes)
{
    auto decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

// The line of --version output that names the version, else its first line.
QString versionLineOf(const QString &output)
{
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("version"), Qt::CaseInsensitive))
            return line.trimmed().left(200);
    }
    return lines.isEmpty() ? QString() : lines.first().trimmed().left(200);
}

// versionLine gets the version line of a program that passes.
Verdict verify(const LlamaCPPManager &engine, QString &versionLine)
{
    const auto path = engine.findLlamaCompletion();
    if (!path)
        return {false, Text::tr("llama.cpp binary not found")};
    struct stat st {};
    if (::stat(QFile::encodeName(*path).constData(), &st) != 0 || (st.st_mode & 0111) == 0)
        return {false, Text::tr("llama.cpp binary is not executable")};

    const int limitMs = int(engine.timings().verificationLimit.count());
    // A program that ignores SIGTERM at the time limit is killed 5 s later,
    // so that the queue is never held for good.
    const ChildProcess::Result run =
        ChildProcess::run(*path, {QStringLiteral("--version")}, limitMs, 1024 * 1024, 5000);
    if (!run.started)
        return {false, Text::tr("Could not launch binary: %1").arg(run.error)};
    if (run.timedOut)
        qCInfo(lcLlamaCPP, "Verification timed out, terminating");

    const QString output = decodeOrEmpty(run.standardOutput) + decodeOrEmpty(run.standardError);
    qCInfo(lcLlamaCPP, "verifyLlamaCPPInstallation status=%d output=%s", run.status, qPrintable(output.left(200)));

    const QString lower = output.toLower();
    const bool recognised = output.isEmpty() || lower.contains(QLatin1String("version"))
                            || lower.contains(QLatin1String("llama")) || lower.contains(QLatin1String("built with"));
    if (!run.timedOut && run.status == 0 && recognised) {
        versionLine = versionLineOf(output);
        return {true, std::nullopt};
    }
    if (run.timedOut)
        return {false, Text::tr("Binary did not respond within %1s. This usually clears up on a second launch — "
                                "the GPU shader cache is still building.")
                           .arg(limitMs / 1000)};
    if (output.isEmpty())
        return {false, Text::tr("Binary failed to run: exit code %1").arg(run.status)};
    return {false, Text::tr("Binary failed to run: %1").arg(output.left(200).trimmed())};
}

} // namespace

void LlamaCPPManager::verifyLlamaCPPInstallation(InstallCompletion completion)
{
    QPointer<LlamaCPPManager> self(this);
    m_processQueue->async([self, completion = std::move(completion)] {
        if (!self)
            return;
        QString version;
        const Verdict verdict = verify(*self, version);
        mainthread::post(self, [self, completion, verdict, version] {
            self->setLlamaCPPVersion(version);
            if (completion)
                completion(verdict.success, verdict.message);
        });
    });
}

void LlamaCPPManager::warmUpBinary(const QString &path)
{
    ChildProcess process(path, {QStringLiteral("--version")});
    process.setStandardOutput(ChildProcess::StreamMode::Null);
    process.setStandardError(ChildProcess::StreamMode::Null);
    if (!process.start()) {
        qCInfo(lcLlamaCPP, "Warm-up spawn failed (non-fatal): %s", qPrintable(process.errorString()));
        return;
    }
    if (!process.waitForExit(int(m_timings.warmUpLimit.count()))) {
        process.terminate();
        if (!process.waitForExit(5000))
            process.kill();
        process.waitForExit();
    }
    qCInfo(lcLlamaCPP, "Warm-up spawn complete for %s (status %d)", qPrintable(path), process.exitStatus());
}
