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
    m_currentSession = session;
    m_chatMessages = session ? session->messages : QList<ChatMessage>{};
    emit currentSessionChanged();
    emit chatMessagesChanged();
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
    const QString defaultTitle = QString::fromLatin1(kNewChatTitle);
    if (!m_currentSession || m_currentSession->title != defaultTitle)
        return;
    // Only the space character separates words: tabs and line breaks stay
    // inside the words they are part of.
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString title = words.mid(0, kTitleWordCount).join(QLatin1Char(' '));
    if (title.isEmpty())
        title = defaultTitle;

    const auto it = findById(m_chatSessions, m_currentSession->id);
    if (it == m_chatSessions.end())
        return;
    const bool changed = it->title != title;
    it->title = title;
    m_currentSession = *it;
    saveSession(*it);
    if (changed) {
        emit chatSessionsChanged();
        emit currentSessionChanged();
    }
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
    if (m_currentSession && m_currentSession->id == id)
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
