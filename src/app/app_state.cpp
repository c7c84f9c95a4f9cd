#include "app/app_state.h"

#include "app/reply_engines.h"
#include "core/preference_keys.h"
#include "engine/llama_cpp_manager.h"
#include "models/model_download_manager.h"
#include "platform/logging.h"
#include "platform/serial_queue.h"

AppState::AppState(LlamaCPPManager &engine, QObject *parent) : AppState(engine, Services(), parent) {}

AppState::AppState(LlamaCPPManager &engine, Services services, QObject *parent)
    : QObject(parent), m_engine(engine), m_installer(std::move(services.installer)), m_downloads(services.downloads),
      m_templateQueue(std::make_unique<SerialQueue>(QStringLiteral("com.quorvane.library.template"))),
      m_importQueue(std::make_unique<SerialQueue>(QStringLiteral("com.quorvane.library"))),
      m_store(SessionsStore::standard())
{
    // First, so that it follows the model selected below.
    m_engines = new ReplyEngines(m_engine, *this);

    // Settings the screens show.
    m_systemPrompt = m_preferences.string(QString::fromLatin1(prefkeys::kSystemPrompt))
                         .value_or(QString::fromLatin1(prefkeys::kDefaultSystemPrompt));
    m_appearanceMode =
        appearanceModeFromString(m_preferences.string(QString::fromLatin1(prefkeys::kAppearanceMode)).value_or(QString()));

    m_hasDownloadedModels = m_preferences.boolValue(QString::fromLatin1(prefkeys::kHasDownloadedModels));
    const bool didCompleteOnboarding = m_preferences.boolValue(QString::fromLatin1(prefkeys::kDidCompleteOnboarding));
    m_isFirstLaunch = !(m_hasDownloadedModels || didCompleteOnboarding);

    loadSavedModels();
    removeUnfinishedImports();
    loadChatSessions();

    if (!m_isFirstLaunch) {
        m_currentView = AppView::Chat;
        m_preferences.setBool(QString::fromLatin1(prefkeys::kDidCompleteOnboarding), true);
    }

    // Downloads that an earlier run left unfinished continue, reporting
    // through the fallbacks.
    if (m_downloads) {
        installDownloadFallbacks();
        m_downloads->resumeIncompleteDownloads(m_downloadedModels);
    }

    // A program that is present and executable counts as verified until the
    // verification run says otherwise.
    m_engine.setLlamaCPPVerified(m_engine.isLlamaCPPInstalled());
    // A server elsewhere needs no llama.cpp here: it is only installed once
    // the user chooses a local mode.
    if (m_engines->usesLocalEngine())
        startLocalEngineChecks();
}

AppState::~AppState()
{
    delete m_engines; // its local server ends here, while the state it reads still stands
}

void AppState::setCurrentView(AppView view)
{
    if (m_currentView == view)
        return;
    m_currentView = view;
    emit currentViewChanged();
}

void AppState::finishOnboarding()
{
    m_preferences.setBool(QString::fromLatin1(prefkeys::kDidCompleteOnboarding), true);
    setCurrentView(AppView::Chat);
    if (m_isFirstLaunch) {
        m_isFirstLaunch = false;
        emit isFirstLaunchChanged();
    }
}
