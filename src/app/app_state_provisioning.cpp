// Making sure a working llama-completion is in place.
#include "app/app_state.h"

#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QPointer>

namespace {

void markVerified(LlamaCPPManager *engine, const char *logLine)
{
    engine->setLlamaCPPVerified(true);
    engine->setLlamaCPPSetupError(std::nullopt);
    qCInfo(lcAppState, "%s", logLine);
}

} // namespace

void AppState::retryLlamaCPPSetup()
{
    m_engine.setLlamaCPPSetupError(std::nullopt);
    ensureLlamaCPPReady();
}

void AppState::startLocalEngineChecks()
{
    if (std::exchange(m_localEngineChecksStarted, true))
        return;
    ensureLlamaCPPReady();
}

void AppState::ensureLlamaCPPReady()
{
    if (!m_engine.isLlamaCPPInstalled()) {
        qCInfo(lcAppState, "llama.cpp not found — installing");
        m_engine.setLlamaCPPVerified(false);
        installLlamaCPP();
        return;
    }
    qCInfo(lcAppState, "llama.cpp present — verifying...");
    QPointer<AppState> self(this);
    LlamaCPPManager *engine = &m_engine;
    m_engine.verifyLlamaCPPInstallation([self, engine](bool ok, const std::optional<QString> &message) {
        if (ok) {
            markVerified(engine, "llama.cpp verified ✓");
            return;
        }
        qCInfo(lcAppState, "Verification failed (%s) — retrying once",
               qPrintable(message.value_or(QStringLiteral("unknown"))));
        engine->verifyLlamaCPPInstallation([self, engine](bool ok, const std::optional<QString> &message) {
            if (ok) {
                markVerified(engine, "llama.cpp verified on retry");
                return;
            }
            qCInfo(lcAppState, "Retry failed (%s) — reinstalling",
                   qPrintable(message.value_or(QStringLiteral("unknown"))));
            engine->setLlamaCPPVerified(false);
            if (self)
                self->installLlamaCPP();
        });
    });
}

void AppState::installLlamaCPP()
{
    mainthread::post(this, [this] {
        if (m_engine.isInstallingLlamaCPP()) {
            handleInstallResult(false, tr("Installation already in progress"));
            return;
        }
        if (!m_installer) {
            handleInstallResult(false, tr("llama.cpp is not installed and this build cannot install it"));
            return;
        }
        QPointer<AppState> self(this);
        m_installer([self](bool ok, const std::optional<QString> &message) {
            if (self)
                self->handleInstallResult(ok, message);
        });
    });
}

void AppState::handleInstallResult(bool success, const std::optional<QString> &message)
{
    if (!success) {
        m_engine.setLlamaCPPVerified(false);
        const QString text = message.value_or(tr("Installation failed"));
        m_engine.setLlamaCPPSetupError(text);
        qCInfo(lcAppState, "llama.cpp installation failed: %s", qPrintable(text));
        return;
    }
    qCInfo(lcAppState, "Install succeeded — verifying binary...");
    LlamaCPPManager *engine = &m_engine;
    m_engine.verifyLlamaCPPInstallation([engine](bool ok, const std::optional<QString> &message) {
        if (ok) {
            markVerified(engine, "llama.cpp installed and verified ✓");
            return;
        }
        engine->setLlamaCPPVerified(false);
        engine->setLlamaCPPSetupError(
            tr("Installation completed but the binary failed to run. %1").arg(message.value_or(QString())));
        qCInfo(lcAppState, "llama.cpp installed but verification failed: %s", qPrintable(message.value_or(QString())));
    });
}
