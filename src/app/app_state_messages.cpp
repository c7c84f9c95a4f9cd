// Changes of a conversation's messages: the one path every change takes,
// and the actions on single messages (ask again, edit, delete, versions).
#include "app/app_state.h"

#include "app/reply_engines.h"
#include "engine/prompt_assembly.h"
#include "platform/logging.h"

namespace {

int indexOf(const QList<ChatMessage> &messages, const QString &id)
{
    const auto uuid = parseUuid(id);
    if (!uuid)
        return -1;
    const auto it = findById(messages, *uuid);
    return it != messages.cend() ? int(it - messages.cbegin()) : -1;
}

int lastUserMessage(const QList<ChatMessage> &messages)
{
    for (int i = int(messages.size()) - 1; i >= 0; --i) {
        if (messages.at(i).isFromUser)
            return i;
    }
    return -1;
}

} // namespace

bool AppState::changeSession(const QUuid &sid,
                             const std::function<std::optional<MessagesChange>(ChatSession &)> &edit)
{
    ChatSession *session = listedSession(sid);
    const bool listed = session != nullptr;
    if (!listed && m_unlistedCurrent && m_unlistedCurrent->id == sid)
        session = &*m_unlistedCurrent;
    if (!session)
        return false;
    const auto change = edit(*session);
    if (!change)
        return false;
    // Written before anyone hears of it: what the change removed is gone
    // from the screen only once the file no longer needs it.
    if (listed)
        saveSession(*session);
    emit messagesChanged(sid, *change);
    if (sid == m_currentId)
        emit canRegenerateChanged();
    return true;
}

ChatSession *AppState::idleCurrentSession()
{
    ChatSession *session = listedSession(m_currentId);
    if (!session || isGenerating(session->id))
        return nullptr;
    // Without a model nothing could answer what an action asks again.
    if (!m_selectedModel && !m_engines->repliesWithoutLocalModel())
        return nullptr;
    return session;
}

bool AppState::canRegenerate() const
{
    const auto session = currentSession();
    if (!session || isGenerating(session->id) || findById(m_chatSessions, session->id) == m_chatSessions.cend())
        return false;
    const QList<ChatMessage> &messages = session->messages;
    return !messages.isEmpty() && !messages.last().isFromUser && lastUserMessage(messages) >= 0;
}

bool AppState::regenerateLastReply()
{
    ChatSession *session = idleCurrentSession();
    if (!session || !canRegenerate())
        return false;
    const QUuid sid = session->id;
    const int user = lastUserMessage(session->messages);
    // The reply asked for again stays where it is; what followed it (a stop
    // mark, an error) goes, and so does all that followed a question that
    // has no reply (a notice, an error).
    int reply = -1;
    for (int i = user + 1; i < session->messages.size() && reply < 0; ++i) {
        if (messageKind(session->messages.at(i)) == MessageKind::Reply)
            reply = i;
    }
    const QList<ChatMessage> history = session->messages.mid(0, user + 1);
    const QString prompt = history.last().content;
    const QUuid target = reply >= 0 ? session->messages.at(reply).id : QUuid();
    const int kept = (reply >= 0 ? reply : user) + 1;
    changeSession(sid, [kept](ChatSession &s) -> std::optional<MessagesChange> {
        const int trailing = int(s.messages.size()) - kept;
        if (trailing == 0)
            return std::nullopt;
        s.messages.resize(kept);
        return MessagesChange::removed(kept, trailing);
    });
    qCInfo(lcChatView, "Asking again for the reply of conversation %s",
           qPrintable(logging::shortId(canonicalUuid(sid))));
    beginReply(prompt, history, target);
    return true;
}

bool AppState::editMessage(const QString &messageId, const QString &text)
{
    ChatSession *session = idleCurrentSession();
    const int row = session ? indexOf(session->messages, messageId) : -1;
    if (row < 0 || !session->messages.at(row).isFromUser || isBlankPrompt(text))
        return false;
    changeSession(session->id, [&](ChatSession &s) {
        const int following = int(s.messages.size()) - row - 1;
        s.messages[row].content = text;
        s.messages.resize(row + 1);
        MessagesChange change = MessagesChange::removed(row + 1, following);
        change.changed = {row};
        return change;
    });
    beginReply(text);
    return true;
}

bool AppState::deleteMessage(const QString &messageId)
{
    ChatSession *session = listedSession(m_currentId);
    const int row = session && !isGenerating(session->id) ? indexOf(session->messages, messageId) : -1;
    if (row < 0)
        return false;
    return changeSession(session->id, [row](ChatSession &s) {
        s.messages.remove(row);
        return MessagesChange::removed(row);
    });
}

bool AppState::showReplyVersion(const QString &messageId, int index)
{
    ChatSession *session = listedSession(m_currentId);
    const int row = session && !isGenerating(session->id) ? indexOf(session->messages, messageId) : -1;
    if (row < 0)
        return false;
    return changeSession(session->id, [row, index](ChatSession &s) -> std::optional<MessagesChange> {
        ChatMessage &m = s.messages[row];
        if (index == m.shownVersion || !m.showVersion(index))
            return std::nullopt;
        return MessagesChange::changedRow(row);
    });
}
