// The chat turn: a user's message, the reply streaming into its
// conversation, the final reply or notice, and stopping.
#include "app/app_state.h"

#include "app/reply_engines.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "engine/reply_trim.h"
#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QPointer>

namespace {

const char *const kStillDownloadingNotice[] = {
    "**Model Still Downloading**\n\nThe selected model \"",
    "\" is still downloading. Please wait for the download to complete before chatting.\n\n**Current status:** "
    "Downloading...\n\nYou can check the progress in the Models tab. Once the download finishes, you'll be able to "
    "chat with this model."};

const char *const kLoadingFailedNotice[] = {
    "**Model Loading Failed**\n\nI couldn't load the selected model \"",
    "\". This might be due to:\n\n\u2022 **Corrupted model file** - Try re-downloading the model\n\u2022 "
    "**Insufficient memory** - Close other applications and try again\n\u2022 **File permission issues** - Make "
    "sure the app has access to the Models folder\n\n**Troubleshooting steps:**\n1. Go to Models tab and delete the "
    "problematic model\n2. Re-download it from Hugging Face\n3. Try again"};

} // namespace

void AppState::addMessage(const ChatMessage &message)
{
    m_chatMessages.append(message);
    emit chatMessagesChanged();
    if (m_currentSession) {
        const auto it = findById(m_chatSessions, m_currentSession->id);
        if (it != m_chatSessions.end()) {
            it->messages.append(message);
            m_currentSession = *it;
            emit currentSessionChanged();
            saveSession(*it);
        }
    }
    if (message.isFromUser) {
        const auto userMessages = std::count_if(m_chatMessages.cbegin(), m_chatMessages.cend(),
                                                [](const ChatMessage &m) { return m.isFromUser; });
        if (userMessages == 1)
            updateTitleFromFirstMessage(message.content);
    }
}

bool AppState::appendToSession(const QUuid &sid, const ChatMessage &message)
{
    const auto it = findById(m_chatSessions, sid);
    if (it == m_chatSessions.end())
        return false;
    it->messages.append(message);
    saveSession(*it);
    if (m_currentSession && m_currentSession->id == sid) {
        m_currentSession = *it;
        m_chatMessages.append(message);
        emit currentSessionChanged();
        emit chatMessagesChanged();
    }
    return true;
}

void AppState::clearReplyState(const QUuid &sid)
{
    m_sessionTypingState.insert(sid, false);
    m_sessionStreamingId.remove(sid);
    m_sessionStreamingContent.insert(sid, QString());
    emit sessionStateChanged(sid);
}

void AppState::beginReply(const QString &content)
{
    // A server elsewhere answers with its own model, whatever is selected here.
    const bool remote = m_engines->repliesWithoutLocalModel();
    if (!m_currentSession || (!m_selectedModel && !remote))
        return;
    const QUuid sid = m_currentSession->id;
    m_sessionTypingState.insert(sid, true);
    m_sessionStreamingContent.insert(sid, QString());
    m_sessionStreamingId.insert(sid, QUuid::createUuid());
    emit sessionStateChanged(sid);
    if (remote) {
        startGenerationFor(sid, content);
        return;
    }

    // The delayed answers belong to the conversation the message was sent
    // in, also when the user has switched to another one meanwhile.
    const AIModel model = *m_selectedModel;
    const QUuid turn = m_sessionStreamingId.value(sid);
    auto stillThisTurn = [this, sid, turn] { return m_sessionStreamingId.value(sid) == turn && isGenerating(sid); };
    if (!model.isDownloaded) {
        mainthread::postAfter(this, 1000, [this, sid, model, stillThisTurn] {
            if (stillThisTurn())
                postNotice(sid, Notice::StillDownloading, model);
        });
    } else if (m_engine.isModelLoaded()) {
        startGenerationFor(sid, content);
    } else {
        m_engine.loadModel(model);
        mainthread::postAfter(this, 2000, [this, sid, model, content, stillThisTurn] {
            if (!stillThisTurn())
                return;
            if (m_engine.isModelLoaded())
                startGenerationFor(sid, content);
            else
                postNotice(sid, Notice::LoadingFailed, model);
        });
    }
}

void AppState::postNotice(const QUuid &sid, Notice notice, const AIModel &model)
{
    m_sessionTypingState.insert(sid, false);
    m_sessionStreamingId.remove(sid);
    emit sessionStateChanged(sid);
    const auto &parts = notice == Notice::StillDownloading ? kStillDownloadingNotice : kLoadingFailedNotice;
    const QString text = QString::fromUtf8(parts[0]) + model.name + QString::fromUtf8(parts[1]);
    appendToSession(sid, ChatMessage::make(text, false));
}

void AppState::startGeneration(const QString &prompt)
{
    if (m_currentSession)
        startGenerationFor(m_currentSession->id, prompt);
}

void AppState::startGenerationFor(const QUuid &sid, const QString &prompt)
{
    const auto it = findById(m_chatSessions, sid);
    if (it == m_chatSessions.end())
        return;
    // The callbacks carry the turn they belong to: output of an earlier,
    // stopped request of the same conversation must not land in a later turn.
    const QUuid turn = m_sessionStreamingId.value(sid);
    QPointer<AppState> self(this);
    m_engine.generateResponse(
        prompt, sid, it->messages,
        [self, sid, turn](const QString &piece) {
            if (self && self->m_sessionStreamingId.value(sid) == turn)
                self->appendStreamChunk(sid, piece);
        },
        [self, sid, turn](const ReplyOutcome &outcome) {
            if (self && self->m_sessionStreamingId.value(sid) == turn)
                self->finishGeneration(sid, outcome);
        });
}

void AppState::appendStreamChunk(const QUuid &sid, const QString &piece)
{
    const QString accumulated = m_sessionStreamingContent.value(sid);
    const QString text = accumulated.isEmpty() ? trimReplyStart(piece) : piece;
    if (text.isEmpty())
        return;
    m_sessionStreamingContent.insert(sid, accumulated + text);
    emit sessionStateChanged(sid);
}

void AppState::finishGeneration(const QUuid &sid, const ReplyOutcome &outcome)
{
    const bool wasTyping = isGenerating(sid);
    clearReplyState(sid);
    if (!wasTyping)
        return;
    // What came of the reply stays, a failure adds its notice after it; a
    // stop adds nothing of its own (the stop button wrote its notice).
    const QString reply = trimReply(outcome.text);
    if (!reply.isEmpty()) {
        ChatMessage message = ChatMessage::make(reply, false);
        if (outcome.kind == ReplyOutcome::Kind::Finished)
            message.figures = outcome.figures;
        appendToSession(sid, message);
    }
    if (outcome.kind == ReplyOutcome::Kind::Failed) {
        const QString failure = QStringLiteral("Error: ") + outcome.errorText;
        qCInfo(lcChatView, "Generation failed: %s", qPrintable(failure));
        // the reason as the user reads it, without the "Error: " in front
        const QString reason = trimReply(failure).mid(qsizetype(qstrlen("Error: ")));
        appendToSession(sid, ChatMessage::make(QStringLiteral("⚠️ Could not generate a reply: ") + reason, false));
    }
    if (m_currentSession && m_currentSession->id == sid)
        emit messageFieldFocusRequested();
}

void AppState::stopCurrentReply()
{
    if (!m_currentSession || !isGenerating(m_currentSession->id))
        return;
    const QUuid sid = m_currentSession->id;
    const QUuid turn = m_sessionStreamingId.value(sid);
    // Posted before the engine is asked to stop, so that it comes ahead of
    // the completion the stop itself brings about. A completion that was on
    // its way already comes first: that reply was not cut short, and there
    // is nothing left to stop.
    mainthread::post(this, [this, sid, turn] {
        if (!isGenerating(sid) || m_sessionStreamingId.value(sid) != turn)
            return;
        m_sessionTypingState.insert(sid, false);
        const QString partial = trimReply(m_sessionStreamingContent.value(sid));
        if (!partial.isEmpty())
            appendToSession(sid, ChatMessage::make(partial, false));
        appendToSession(sid, ChatMessage::make(QString::fromLatin1(kGenerationStoppedText), false));
        m_sessionStreamingId.remove(sid);
        m_sessionStreamingContent.insert(sid, QString());
        emit sessionStateChanged(sid);
    });
    m_engine.stopGeneration(sid);
}
