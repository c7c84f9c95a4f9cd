// The chat turn: a user's message, the reply streaming into its
// conversation, the final reply or notice, and stopping.
#include "app/app_state.h"

#include "app/reply_engines.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "engine/reply_trim.h"
#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QPointer>

void AppState::addMessage(const ChatMessage &message)
{
    if (m_currentId.isNull() || !appendToSession(m_currentId, message) || !message.isFromUser)
        return;
    const QList<ChatMessage> messages = chatMessages();
    const auto userMessages =
        std::count_if(messages.cbegin(), messages.cend(), [](const ChatMessage &m) { return m.isFromUser; });
    if (userMessages == 1)
        updateTitleFromFirstMessage(message.content);
}

bool AppState::appendToSession(const QUuid &sid, const ChatMessage &message)
{
    return changeSession(sid, [&](ChatSession &session) {
        session.messages.append(message);
        return MessagesChange::inserted(int(session.messages.size()) - 1);
    });
}

void AppState::landReply(const QUuid &sid, const ChatMessage &reply)
{
    const QUuid target = m_sessionRegeneratingId.take(sid);
    const bool landed = !target.isNull() && changeSession(sid, [&](ChatSession &session) {
        const auto it = findById(session.messages, target);
        if (it == session.messages.end())
            return std::optional<MessagesChange>();
        it->addVersion({reply.content, reply.timestamp, reply.figures});
        it->kind = MessageKind::Reply;
        return std::optional(MessagesChange::changedRow(int(it - session.messages.begin())));
    });
    if (!landed)
        appendToSession(sid, reply);
}

void AppState::clearReplyState(const QUuid &sid)
{
    m_sessionTypingState.insert(sid, false);
    m_sessionStreamingId.remove(sid);
    m_sessionStreamingContent.insert(sid, QString());
    emit sessionStateChanged(sid);
    if (sid == m_currentId)
        emit canRegenerateChanged();
}

void AppState::beginReply(const QString &content, const std::optional<QList<ChatMessage>> &history,
                          const QUuid &replacing)
{
    // A server elsewhere answers with its own model, whatever is selected here.
    const bool remote = m_engines->repliesWithoutLocalModel();
    if (m_currentId.isNull() || (!m_selectedModel && !remote))
        return;
    const QUuid sid = m_currentId;
    m_sessionTypingState.insert(sid, true);
    m_sessionStreamingContent.insert(sid, QString());
    m_sessionStreamingId.insert(sid, QUuid::createUuid());
    if (replacing.isNull())
        m_sessionRegeneratingId.remove(sid);
    else
        m_sessionRegeneratingId.insert(sid, replacing);
    emit sessionStateChanged(sid);
    emit canRegenerateChanged();
    if (remote) {
        startGenerationFor(sid, content, history);
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
        startGenerationFor(sid, content, history);
    } else {
        m_engine.loadModel(model);
        mainthread::postAfter(this, 2000, [this, sid, model, content, history, stillThisTurn] {
            if (!stillThisTurn())
                return;
            if (m_engine.isModelLoaded())
                startGenerationFor(sid, content, history);
            else
                postNotice(sid, Notice::LoadingFailed, model);
        });
    }
}

void AppState::postNotice(const QUuid &sid, Notice notice, const AIModel &model)
{
    m_sessionTypingState.insert(sid, false);
    m_sessionStreamingId.remove(sid);
    m_sessionRegeneratingId.remove(sid);
    emit sessionStateChanged(sid);
    if (sid == m_currentId)
        emit canRegenerateChanged();
    const QString text =
        notice == Notice::StillDownloading
            ? tr("**Model Still Downloading**\n\nThe selected model \"%1\" is still downloading. Please wait for the "
                 "download to complete before chatting.\n\n**Current status:** Downloading...\n\nYou can check the "
                 "progress in the Models tab. Once the download finishes, you'll be able to chat with this model.")
            : tr("**Model Loading Failed**\n\nI couldn't load the selected model \"%1\". This might be due to:\n\n"
                 "• **Corrupted model file** - Try re-downloading the model\n• **Insufficient memory** - Close other "
                 "applications and try again\n• **File permission issues** - Make sure the app has access to the "
                 "Models folder\n\n**Troubleshooting steps:**\n1. Go to Models tab and delete the problematic "
                 "model\n2. Re-download it from Hugging Face\n3. Try again");
    appendToSession(sid, ChatMessage::assistant(text.arg(model.name), MessageKind::Notice));
}

void AppState::startGeneration(const QString &prompt)
{
    if (!m_currentId.isNull())
        startGenerationFor(m_currentId, prompt);
}

void AppState::startGenerationFor(const QUuid &sid, const QString &prompt, std::optional<QList<ChatMessage>> history)
{
    const auto it = findById(m_chatSessions, sid);
    if (it == m_chatSessions.end())
        return;
    // The callbacks carry the turn they belong to: output of an earlier,
    // stopped request of the same conversation must not land in a later turn.
    const QUuid turn = m_sessionStreamingId.value(sid);
    QPointer<AppState> self(this);
    m_engine.generateResponse(
        prompt, sid, history ? *history : it->messages,
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
    if (!wasTyping) {
        m_sessionRegeneratingId.remove(sid);
        return;
    }
    // What came of the reply stays, a failure adds its notice after it; a
    // stop adds nothing of its own (the stop button wrote its notice).
    const QString reply = trimReply(outcome.text);
    if (!reply.isEmpty()) {
        ChatMessage message = ChatMessage::assistant(reply, MessageKind::Reply);
        if (outcome.kind == ReplyOutcome::Kind::Finished)
            message.figures = outcome.figures;
        landReply(sid, message);
    }
    m_sessionRegeneratingId.remove(sid);
    if (outcome.kind == ReplyOutcome::Kind::Failed) {
        const QString failure = QStringLiteral("Error: ") + outcome.errorText;
        qCInfo(lcChatView, "Generation failed: %s", qPrintable(failure));
        // the reason as the user reads it, without the "Error: " in front
        const QString reason = trimReply(failure).mid(qsizetype(qstrlen("Error: ")));
        const QString prefix = QCoreApplication::translate("Replies", kReplyFailedPrefix);
        appendToSession(sid, ChatMessage::assistant(prefix + reason, MessageKind::Error));
    }
    if (sid == m_currentId)
        emit messageFieldFocusRequested();
}

void AppState::stopCurrentReply()
{
    if (m_currentId.isNull() || !isGenerating(m_currentId))
        return;
    const QUuid sid = m_currentId;
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
            landReply(sid, ChatMessage::assistant(partial, MessageKind::Reply));
        m_sessionRegeneratingId.remove(sid);
        const QString stopped = QCoreApplication::translate("Replies", kGenerationStoppedText);
        appendToSession(sid, ChatMessage::assistant(stopped, MessageKind::Stopped));
        m_sessionStreamingId.remove(sid);
        m_sessionStreamingContent.insert(sid, QString());
        emit sessionStateChanged(sid);
        if (sid == m_currentId)
            emit canRegenerateChanged();
    });
    m_engine.stopGeneration(sid);
}
