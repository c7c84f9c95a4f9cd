// The conversations: creating, selecting, titling, deleting and searching.
#include "app/app_state.h"

#include "engine/llama_cpp_manager.h"
#include "platform/logging.h"

#include <QLocale>

namespace {

// How many words of the first user message make a conversation's title.
constexpr qsizetype kTitleWordCount = 8;

// A form of text in which two strings that differ only in letter case (as the
// user's locale sees it) are equal, for the title search.
//
// The locale's own lower-casing comes first so that the Turkish and Azeri
// rules apply under those locales (I -> dotless i, capital dotted I -> i).
// Qt's case folding then settles what lower-casing leaves apart (final
// sigma). Two mappings of full case folding that Qt's simple folding lacks
// are added by hand: sharp s matches "ss" (so "STRASSE" finds "Straße"), and
// the "i" + combining dot above that a capital dotted I lowers to outside
// Turkish locales reads as a plain "i". Compatibility normalisation first
// makes precomposed and decomposed accents, ligatures and full-width letters
// compare equal.
QString searchFolded(const QString &text, const QLocale &locale)
{
    QString folded = locale.toLower(text.normalized(QString::NormalizationForm_KC)).toCaseFolded();
    folded.replace(QChar(0x00DF), QStringLiteral("ss"));
    folded.replace(QStringLiteral("i\u0307"), QStringLiteral("i"));
    return folded;
}

} // namespace

void AppState::setCurrent(const std::optional<ChatSession> &session)
{
    m_currentId = session ? session->id : QUuid();
    const bool listed = session && findById(m_chatSessions, session->id) != m_chatSessions.end();
    m_unlistedCurrent = listed ? std::nullopt : session;
    emit currentSessionChanged();
    emit canRegenerateChanged();
}

std::optional<ChatSession> AppState::currentSession() const
{
    if (m_currentId.isNull())
        return std::nullopt;
    const auto it = findById(m_chatSessions, m_currentId);
    return it != m_chatSessions.cend() ? std::optional(*it) : m_unlistedCurrent;
}

QList<ChatMessage> AppState::chatMessages() const
{
    const auto session = currentSession();
    return session ? session->messages : QList<ChatMessage>();
}

QString AppState::currentSessionTitle() const
{
    const auto session = currentSession();
    return session ? session->title : QString();
}

ChatSession *AppState::listedSession(const QUuid &sid)
{
    const auto it = findById(m_chatSessions, sid);
    return it != m_chatSessions.end() ? &*it : nullptr;
}

void AppState::createNewChat()
{
    const ChatSession session = ChatSession::make();
    m_chatSessions.prepend(session);
    emit chatSessionsChanged();
    setCurrent(session);
    // Only its file is written; the others are as they were.
    writeSession(session);
    saveSessionListChange();
    if (m_currentView != AppView::Chat)
        setCurrentView(AppView::Chat);
}

void AppState::selectSession(const ChatSession &session)
{
    const auto it = findById(m_chatSessions, session.id);
    setCurrent(it != m_chatSessions.end() ? *it : session);
}

void AppState::selectSessionById(const QString &id)
{
    const auto uuid = parseUuid(id);
    if (!uuid) {
        qCInfo(lcAppState, "Cannot select conversation: \"%s\" is not a conversation id", qPrintable(id));
        return;
    }
    const auto it = findById(m_chatSessions, *uuid);
    if (it == m_chatSessions.end()) {
        qCInfo(lcAppState, "Cannot select conversation %s: there is no such conversation",
               qPrintable(logging::shortId(canonicalUuid(*uuid))));
        return;
    }
    setCurrent(*it);
}

void AppState::updateTitleFromFirstMessage(const QString &text)
{
    const QString defaultTitle = QCoreApplication::translate("Conversations", kNewChatTitle);
    ChatSession *session = listedSession(m_currentId);
    if (!session || session->title != defaultTitle || session->hasManualTitle)
        return;
    // Only the space character separates words: tabs and line breaks stay
    // inside the words they are part of.
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString title = words.mid(0, kTitleWordCount).join(QLatin1Char(' '));
    if (title.isEmpty())
        title = defaultTitle;

    const bool changed = session->title != title;
    session->title = title;
    saveSession(*session);
    if (changed) {
        emit chatSessionsChanged();
        emit currentSessionChanged();
    }
}

bool AppState::renameSession(const QString &id, const QString &title)
{
    const auto uuid = parseUuid(id);
    ChatSession *session = uuid ? listedSession(*uuid) : nullptr;
    const QString trimmed = title.trimmed();
    if (!session || trimmed.isEmpty())
        return false;
    if (session->title == trimmed && session->hasManualTitle)
        return true;
    session->title = trimmed;
    session->hasManualTitle = true;
    saveSession(*session);
    emit chatSessionsChanged();
    if (session->id == m_currentId)
        emit currentSessionChanged();
    return true;
}

void AppState::deleteSession(const ChatSession &session)
{
    // The id is copied first: session may be the listed element erased below.
    const QUuid id = session.id;
    // Stopped whether or not a reply is running: a request still waiting in
    // the engine's queue is marked so that it does not start.
    m_engine.stopGeneration(id);

    const auto it = findById(m_chatSessions, id);
    if (it == m_chatSessions.end())
        return;
    m_chatSessions.erase(it);
    emit chatSessionsChanged();
    if (m_currentId == id)
        setCurrent(std::nullopt);
    saveSessionListChange(id);
}

void AppState::deleteSessionById(const QString &id)
{
    const auto uuid = parseUuid(id);
    if (!uuid) {
        qCInfo(lcAppState, "Cannot delete conversation: \"%s\" is not a conversation id", qPrintable(id));
        return;
    }
    const auto it = findById(m_chatSessions, *uuid);
    if (it != m_chatSessions.end()) {
        deleteSession(*it);
        return;
    }
    // Not listed: its reply, if any, is stopped all the same.
    ChatSession unknown;
    unknown.id = *uuid;
    deleteSession(unknown);
}

QList<ChatSession> AppState::filteredSessions(const QString &searchText) const
{
    if (searchText.isEmpty())
        return m_chatSessions;
    // The default locale is the user's unless the application chose another.
    const QLocale locale;
    const QString needle = searchFolded(searchText, locale);
    QList<ChatSession> found;
    for (const ChatSession &session : m_chatSessions) {
        if (searchFolded(session.title, locale).contains(needle))
            found << session;
    }
    return found;
}
