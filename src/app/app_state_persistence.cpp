// Loading and saving of the model list, the selection, the conversations and
// the settings.
#include "app/app_state.h"

#include "core/file_manager_utility.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "platform/logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

namespace {

QString key(const char *k) { return QString::fromLatin1(k); }

// A stored value that is not data, as text for a log line.
QByteArray valueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", ")).toUtf8();
    return value.toString().toUtf8();
}

QByteArray preferencesFileBytes(const Preferences &preferences)
{
    const QString path = preferences.fileName();
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Where an earlier launch set these bytes aside: a file of the data folder
// or a preference whose name starts with prefix; nullopt when nowhere. A
// copy of the whole preferences file counts when it holds the same value
// under key, since the store rewrites the rest of the file as it likes.
std::optional<QString> keptCopyOf(const QByteArray &bytes, const QString &key, const QString &directory,
                                  const QString &prefix, const Preferences &preferences)
{
    const QDir dir(directory);
    for (const QString &name : dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden)) {
        QFile file(dir.filePath(name));
        if (file.size() == bytes.size() && file.open(QIODevice::ReadOnly) && file.readAll() == bytes)
            return file.fileName();
        const QSettings copy(file.fileName(), QSettings::IniFormat);
        if (copy.contains(key) && copy.value(key) == preferences.value(key))
            return file.fileName();
    }
    if (preferences.fileName().isEmpty())
        return std::nullopt;
    const QStringList keys = QSettings(preferences.fileName(), QSettings::IniFormat).childKeys();
    for (const QString &name : keys) {
        if (name.startsWith(prefix) && preferences.data(name) == bytes)
            return QStringLiteral("the preference ") + name;
    }
    return std::nullopt;
}

} // namespace

void AppState::loadSavedModels()
{
    qCInfo(lcModelPersistence, "Attempting to load saved models from UserDefaults");
    const QString modelsKey = key(prefkeys::kDownloadedModels);
    if (!m_preferences.contains(modelsKey)) {
        qCInfo(lcModelPersistence, "No saved models found - first launch");
        return;
    }
    const auto data = m_preferences.data(modelsKey);
    recordjson::DecodeError error;
    std::optional<QList<AIModel>> models;
    if (data)
        models = recordjson::decodeModelList(*data, &error);
    else
        error.text = QStringLiteral("the stored value is not data");
    if (!models) {
        const QByteArray raw = data ? *data : valueText(m_preferences.value(modelsKey));
        qCInfo(lcModelPersistence, "Error: Failed to decode saved models - %s", qPrintable(error.text));
        qCInfo(lcModelPersistence, "Data size: %ld bytes", long(raw.size()));
        if (data) {
            setAsideUnreadableModels(raw);
        } else {
            // The store could not hand the value back as it was written (a
            // hand-edited line it split into a list, or one it could not
            // parse). The preferences file still holds it verbatim: keep a
            // copy of the whole file, since the next save rewrites it.
            const QByteArray file = preferencesFileBytes(m_preferences);
            setAsideUnreadableModels(file.isEmpty() ? raw : file);
        }
        return;
    }
    m_downloadedModels = *models;
    emit downloadedModelsChanged();
    qCInfo(lcModelPersistence, "Successfully loaded %ld models", long(m_downloadedModels.size()));

    if (const auto storedId = m_preferences.string(key(prefkeys::kSelectedModelId))) {
        if (const auto id = parseUuid(*storedId)) {
            const auto it = std::find_if(m_downloadedModels.cbegin(), m_downloadedModels.cend(),
                                         [&](const AIModel &m) { return m.id == *id && m.isDownloaded; });
            if (it != m_downloadedModels.cend()) {
                m_selectedModel = *it;
                emit selectedModelChanged();
                m_engine.loadModel(*it);
                qCInfo(lcModelPersistence, "Auto-loaded selected model: %s", qPrintable(it->name));
                return;
            }
        }
    }
    const auto first = std::find_if(m_downloadedModels.cbegin(), m_downloadedModels.cend(),
                                    [](const AIModel &m) { return m.isDownloaded; });
    if (first == m_downloadedModels.cend())
        return;
    qCInfo(lcModelPersistence, "No previously selected model, using first available: %s", qPrintable(first->name));
    m_selectedModel = *first;
    emit selectedModelChanged();
    saveSelectedModelId();
    m_engine.loadModel(*first);
}

// The stored list could not be read. Keep its bytes beside the data, named for
// the time, so that the next save of the list does not destroy them.
void AppState::setAsideUnreadableModels(const QByteArray &bytes)
{
    const QString prefix = QStringLiteral("downloadedModels-unreadable-");
    const QString directory = FileManagerUtility::shared().appSupportDirectory();
    // The value stays unreadable until the list is saved again: a copy that
    // an earlier launch kept is not made twice.
    if (const auto kept = keptCopyOf(bytes, key(prefkeys::kDownloadedModels), directory, prefix, m_preferences)) {
        qCInfo(lcModelPersistence, "The unreadable model list is already kept in %s", qPrintable(*kept));
        return;
    }
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    // No extension: the bytes are whatever stood under the key (or the whole
    // preferences file that holds it), not readable JSON.
    const QString name = prefix + stamp;
    const QString path = directory + QLatin1Char('/') + name;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) {
        qCInfo(lcModelPersistence, "Kept the unreadable model list in %s", qPrintable(path));
        return;
    }
    // No writable data folder: keep the bytes in the preferences instead.
    const QString asideKey = prefix + stamp;
    if (m_preferences.setData(asideKey, bytes))
        qCInfo(lcModelPersistence, "Kept the unreadable model list under the preference %s", qPrintable(asideKey));
    else
        qCInfo(lcModelPersistence, "Error: could not keep a copy of the unreadable model list");
}

void AppState::saveModels(bool silent)
{
    const auto data = recordjson::encodeModelList(m_downloadedModels);
    if (!data) {
        qCInfo(lcModelPersistence, "Error: Failed to save models - %s",
               "a model holds a value that JSON cannot represent");
        return;
    }
    if (!m_preferences.setData(key(prefkeys::kDownloadedModels), *data)) {
        qCInfo(lcModelPersistence, "Error: Failed to save models - %s", "the preferences could not be written");
        return;
    }
    if (!silent)
        qCInfo(lcModelPersistence, "Saved %ld models to UserDefaults", long(m_downloadedModels.size()));
}

void AppState::saveModelsThrottled(Date now)
{
    // A clock set back counts as time passed, so that saving does not stall
    // until the clock catches up again.
    const double elapsed = now.secondsSince(m_lastModelsSaveTime);
    if (elapsed >= 0.0 && elapsed < 5.0)
        return;
    m_lastModelsSaveTime = now;
    saveModels(true);
}

void AppState::saveSelectedModelId()
{
    if (!m_selectedModel)
        return;
    const QString id = canonicalUuid(m_selectedModel->id);
    m_preferences.setString(key(prefkeys::kSelectedModelId), id);
    qCInfo(lcModelPersistence, "Saved selected model ID: %s", qPrintable(id));
}

void AppState::loadChatSessions()
{
    SessionsStore::LoadResult loaded = m_store.loadAll();
    m_unreadableSessionFiles = QSet<QString>(loaded.unreadableFiles.cbegin(), loaded.unreadableFiles.cend());
    // A conversation read from a stray file gets its own file at the next
    // save of the list; the stray goes after that.
    m_straySessionFiles = std::move(loaded.strayFiles);
    m_unsavedSessionIds.clear();
    for (const QUuid &id : std::as_const(m_straySessionFiles))
        m_unsavedSessionIds.insert(id);
    QList<ChatSession> sessions = std::move(loaded.sessions);
    bool fromLegacyBlob = false;

    const QString blobKey = key(prefkeys::kSavedChatSessions);
    if (m_preferences.contains(blobKey)) {
        // Read in full while the store is empty. Once the store is in use
        // only conversations missing from it are taken: a migration that
        // could not write every file kept the value for them.
        const bool storeEmpty = sessions.isEmpty();
        QList<ChatSession> migrated;
        const auto blob = m_preferences.data(blobKey);
        recordjson::DecodeError error;
        std::optional<QList<ChatSession>> decoded;
        if (blob)
            decoded = recordjson::decodeSessionList(*blob, &error);
        if (decoded) {
            for (ChatSession &session : *decoded) {
                if (storeEmpty || findById(std::as_const(sessions), session.id) == sessions.cend())
                    migrated.append(std::move(session));
            }
        } else if (storeEmpty) {
            qCInfo(lcChatPersistence, "WARNING: failed to decode legacy sessions — %s",
                   blob ? qPrintable(error.text) : "the stored value is not data");
        }
        if (decoded && (storeEmpty || !migrated.isEmpty())) {
            fromLegacyBlob = true;
            qCInfo(lcChatPersistence, "Migrated %ld sessions from legacy UserDefaults blob", long(migrated.size()));
            sessions.append(std::move(migrated));
        }
    }

    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const ChatSession &a, const ChatSession &b) { return a.createdAt > b.createdAt; });
    m_chatSessions = std::move(sessions);
    emit chatSessionsChanged();

    if (!m_chatSessions.isEmpty()) {
        m_currentId = m_chatSessions.first().id;
        emit currentSessionChanged();
        qCInfo(lcChatPersistence, "Loaded %ld sessions", long(m_chatSessions.size()));
    } else {
        qCInfo(lcChatPersistence, "No saved sessions — fresh state");
    }

    if (fromLegacyBlob) {
        saveChatSessions();
    } else if (!m_chatSessions.isEmpty()) {
        m_preferences.remove(key(prefkeys::kSavedChatSessions));
    }
}

bool AppState::writeSession(const ChatSession &session)
{
    // A file of the same name that could not be read at start-up is moved
    // aside first instead of being overwritten.
    const QString name = canonicalUuid(session.id) + QStringLiteral(".json");
    if (m_unreadableSessionFiles.contains(name)) {
        const QString path = m_store.filePath(session.id);
        const QString aside = path + QStringLiteral(".unreadable-")
                              + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        if (!QFile::rename(path, aside)) {
            qCInfo(lcChatPersistence, "Error: could not move the unreadable file %s aside; not overwriting it",
                   qPrintable(name));
            m_unsavedSessionIds.insert(session.id);
            return false;
        }
        m_unreadableSessionFiles.remove(name);
        qCInfo(lcChatPersistence, "Moved the unreadable file %s to %s", qPrintable(name), qPrintable(aside));
    }
    if (m_store.save(session)) {
        m_unsavedSessionIds.remove(session.id);
        m_straySessionFiles.remove(name); // it held another conversation until now
        return true;
    }
    m_unsavedSessionIds.insert(session.id);
    qCInfo(lcChatPersistence, "Error: could not write conversation %s",
           qPrintable(logging::shortId(canonicalUuid(session.id))));
    return false;
}

bool AppState::writeAllSessions()
{
    bool allWritten = true;
    for (const ChatSession &session : std::as_const(m_chatSessions))
        allWritten = writeSession(session) && allWritten;
    return allWritten;
}

bool AppState::writeUnsavedSessions()
{
    const QList<QUuid> pending(m_unsavedSessionIds.cbegin(), m_unsavedSessionIds.cend());
    for (const QUuid &id : pending) {
        const auto it = findById(std::as_const(m_chatSessions), id);
        if (it != m_chatSessions.cend())
            writeSession(*it);
        else
            m_unsavedSessionIds.remove(id);
    }
    return m_unsavedSessionIds.isEmpty();
}

void AppState::pruneStraySessionFiles()
{
    for (auto it = m_straySessionFiles.begin(); it != m_straySessionFiles.end();) {
        // As a full prune judges it: by the id its name spells. A stray that
        // still holds the only stored copy of its conversation stays.
        const auto named = parseUuid(QFileInfo(it.key()).completeBaseName());
        const bool keep = (named && findById(std::as_const(m_chatSessions), *named) != m_chatSessions.cend())
                          || m_unsavedSessionIds.contains(it.value());
        if (!keep && m_store.removeFile(it.key()))
            it = m_straySessionFiles.erase(it);
        else
            ++it;
    }
}

void AppState::removeLegacySessionsOnceStored(bool allWritten)
{
    // The legacy blob goes only once every conversation stands in the store;
    // with an unwritable store it remains the only copy.
    const QString blobKey = key(prefkeys::kSavedChatSessions);
    if (!m_chatSessions.isEmpty() && allWritten && m_preferences.contains(blobKey))
        m_preferences.remove(blobKey);
}

void AppState::saveChatSessions()
{
    m_unsavedSessionIds.clear();
    const bool allWritten = writeAllSessions();
    pruneStraySessionFiles();
    QSet<QUuid> ids;
    for (const ChatSession &session : std::as_const(m_chatSessions))
        ids.insert(session.id);
    QSet<QString> keepFiles = m_unreadableSessionFiles;
    for (auto it = m_straySessionFiles.cbegin(); it != m_straySessionFiles.cend(); ++it)
        keepFiles.insert(it.key());
    m_store.prune(ids, keepFiles);
    removeLegacySessionsOnceStored(allWritten);
}

void AppState::saveSessionListChange(const std::optional<QUuid> &removedId)
{
    if (removedId) {
        const QString name = canonicalUuid(*removedId) + QStringLiteral(".json");
        // Left for the next save when it cannot go now.
        if (!m_unreadableSessionFiles.contains(name) && !m_store.removeFile(name))
            m_straySessionFiles.insert(name, *removedId);
    }
    const bool allWritten = writeUnsavedSessions();
    pruneStraySessionFiles();
    removeLegacySessionsOnceStored(allWritten);
}

void AppState::saveSession(const ChatSession &session) { writeSession(session); }

void AppState::updateSystemPrompt(const QString &prompt)
{
    m_preferences.setString(key(prefkeys::kSystemPrompt), prompt);
    if (m_systemPrompt == prompt)
        return;
    m_systemPrompt = prompt;
    emit systemPromptChanged();
}

void AppState::resetSystemPrompt() { updateSystemPrompt(QString::fromUtf8(prefkeys::kDefaultSystemPrompt)); }

void AppState::setAppearanceMode(AppearanceMode mode)
{
    m_preferences.setString(key(prefkeys::kAppearanceMode), appearanceModeString(mode));
    if (m_appearanceMode == mode)
        return;
    m_appearanceMode = mode;
    emit appearanceModeChanged();
}
