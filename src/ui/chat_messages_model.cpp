#include "ui/chat_messages_model.h"

#include "app/app_state.h"
#include "ui/message_parts.h"

#include <QVariantList>
#include <QVariantMap>

namespace {

QVariantList attachmentList(const ChatMessage &message)
{
    QVariantList out;
    if (!message.attachedFiles)
        return out;
    out.reserve(message.attachedFiles->size());
    for (const AttachedFile &file : *message.attachedFiles) {
        out.append(QVariantMap{{QStringLiteral("fileName"), file.fileName},
                               {QStringLiteral("fileType"), file.fileType},
                               {QStringLiteral("filePath"), file.filePath},
                               {QStringLiteral("fileSize"), double(file.fileSize)}});
    }
    return out;
}

} // namespace

ChatMessagesModel::ChatMessagesModel(QObject *parent) : QAbstractListModel(parent)
{
    m_liveTextThrottle.setSingleShot(true);
    m_liveTextThrottle.setInterval(kLiveTextIntervalMs);
    connect(&m_liveTextThrottle, &QTimer::timeout, this, [this] {
        if (m_hasPendingLiveText && m_hasLiveRow) {
            m_hasPendingLiveText = false;
            showLiveText(m_pendingLiveText);
        }
    });
}

QObject *ChatMessagesModel::appState() const { return m_state; }

void ChatMessagesModel::setAppState(QObject *state)
{
    auto *appState = qobject_cast<AppState *>(state);
    if (appState == m_state)
        return;
    if (m_state)
        disconnect(m_state, nullptr, this, nullptr);
    m_state = appState;
    if (m_state) {
        connect(m_state, &AppState::chatMessagesChanged, this, &ChatMessagesModel::sync);
        connect(m_state, &AppState::currentSessionChanged, this, &ChatMessagesModel::sync);
        connect(m_state, &AppState::sessionStateChanged, this, [this](const QUuid &sid) {
            // Replies streaming into other conversations do not show here.
            if (sid == m_sessionId)
                sync();
        });
    }
    reset();
    emit appStateChanged();
}

QString ChatMessagesModel::sessionId() const { return m_sessionId.isNull() ? QString() : canonicalUuid(m_sessionId); }

int ChatMessagesModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(m_messages.size()) + (m_hasLiveRow ? 1 : 0);
}

QVariant ChatMessagesModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const int row = index.row();
    if (row == m_messages.size()) {
        switch (role) {
        case MessageIdRole: return canonicalUuid(m_liveId);
        case ContentRole: return m_liveText;
        case IsFromUserRole: return false;
        case AttachmentsRole: return QVariantList();
        case IsLiveRole: return true;
        case FiguresRole: return QString();
        }
        return {};
    }
    const ChatMessage &message = m_messages.at(row);
    switch (role) {
    case MessageIdRole: return canonicalUuid(message.id);
    case ContentRole: return message.content;
    case IsFromUserRole: return message.isFromUser;
    case AttachmentsRole: return attachmentList(message);
    case IsLiveRole: return false;
    case FiguresRole: return ui::figuresLine(message.figures);
    }
    return {};
}

QHash<int, QByteArray> ChatMessagesModel::roleNames() const
{
    return {{MessageIdRole, "messageId"},
            {ContentRole, "content"},
            {IsFromUserRole, "isFromUser"},
            {AttachmentsRole, "attachments"},
            {IsLiveRole, "isLive"},
            {FiguresRole, "figures"}};
}

void ChatMessagesModel::readLiveState(bool &generating, bool &live, QUuid &liveId, QString &text) const
{
    generating = false;
    live = false;
    liveId = QUuid();
    text.clear();
    if (!m_state || m_sessionId.isNull())
        return;
    generating = m_state->isGenerating(m_sessionId);
    const auto id = m_state->sessionStreamingId().constFind(m_sessionId);
    live = generating && id != m_state->sessionStreamingId().cend();
    if (live) {
        liveId = *id;
        text = m_state->sessionStreamingContent().value(m_sessionId);
    }
}

void ChatMessagesModel::reset()
{
    const int oldCount = messageCount();
    const bool oldGenerating = m_isGenerating;
    const bool oldLive = m_hasLiveRow;
    const QString oldText = m_liveText;
    const QUuid oldSession = m_sessionId;

    m_liveTextThrottle.stop();
    m_hasPendingLiveText = false;
    beginResetModel();
    const auto &session = m_state ? m_state->currentSession() : std::optional<ChatSession>();
    m_sessionId = session ? session->id : QUuid();
    m_messages = m_state ? m_state->chatMessages() : QList<ChatMessage>();
    readLiveState(m_isGenerating, m_hasLiveRow, m_liveId, m_liveText);
    endResetModel();

    if (oldSession != m_sessionId)
        emit conversationChanged();
    if (oldCount != messageCount())
        emit messageCountChanged();
    if (oldGenerating != m_isGenerating)
        emit isGeneratingChanged();
    if (oldLive != m_hasLiveRow)
        emit hasLiveRowChanged();
    if (oldText != m_liveText)
        emit liveTextChanged();
}

void ChatMessagesModel::setLiveRow(bool present)
{
    const int row = int(m_messages.size());
    if (present) {
        beginInsertRows({}, row, row);
        m_hasLiveRow = true;
        endInsertRows();
    } else {
        beginRemoveRows({}, row, row);
        m_hasLiveRow = false;
        endRemoveRows();
    }
    emit hasLiveRowChanged();
}

bool ChatMessagesModel::syncMessages(const QList<ChatMessage> &messages)
{
    // Untouched since the last look: the two lists share their data.
    if (messages.constData() == m_messages.constData() && messages.size() == m_messages.size())
        return true;
    const qsizetype common = std::min(messages.size(), m_messages.size());
    bool samePrefix = messages.size() >= m_messages.size();
    for (qsizetype i = 0; samePrefix && i < common; ++i)
        samePrefix = messages.at(i).id == m_messages.at(i).id;
    if (!samePrefix) {
        reset();
        return false;
    }

    QList<int> edited;
    for (qsizetype i = 0; i < common; ++i) {
        if (!(messages.at(i) == m_messages.at(i)))
            edited << int(i);
    }
    const int oldCount = messageCount();
    if (messages.size() > m_messages.size()) {
        beginInsertRows({}, oldCount, int(messages.size()) - 1);
        m_messages = messages;
        endInsertRows();
        emit messageCountChanged();
    } else {
        m_messages = messages;
    }
    for (int row : std::as_const(edited))
        emit dataChanged(index(row), index(row));
    return true;
}

void ChatMessagesModel::sync()
{
    if (!m_state) {
        reset();
        return;
    }
    const auto &session = m_state->currentSession();
    if ((session ? session->id : QUuid()) != m_sessionId) {
        reset();
        return;
    }

    bool generating = false;
    bool live = false;
    QUuid liveId;
    QString text;
    readLiveState(generating, live, liveId, text);

    // The live row goes first, so that the reply's message takes its place
    // at the end instead of landing above it.
    if (m_hasLiveRow && !live)
        setLiveRow(false);
    if (!syncMessages(m_state->chatMessages()))
        return; // rebuilt, live row included

    const bool idChanged = liveId != m_liveId;
    m_liveId = liveId;
    if (live && (!m_hasLiveRow || idChanged)) {
        // A new live row shows the text it starts with at once.
        const bool textChanged = text != m_liveText;
        m_liveText = text;
        m_hasPendingLiveText = false;
        if (m_hasLiveRow) {
            const QModelIndex row = index(int(m_messages.size()));
            emit dataChanged(row, row);
        } else {
            setLiveRow(true);
        }
        m_liveTextThrottle.stop();
        if (textChanged)
            emit liveTextChanged();
    } else if (live) {
        if (text != m_liveText)
            showLiveText(text);
    } else {
        m_liveTextThrottle.stop();
        m_hasPendingLiveText = false;
        if (!m_liveText.isEmpty()) {
            m_liveText.clear();
            emit liveTextChanged();
        }
    }
    if (generating != m_isGenerating) {
        m_isGenerating = generating;
        emit isGeneratingChanged();
    }
}

void ChatMessagesModel::showLiveText(const QString &text)
{
    if (m_liveTextThrottle.isActive()) {
        m_pendingLiveText = text;
        m_hasPendingLiveText = true;
        return;
    }
    m_liveText = text;
    const QModelIndex row = index(int(m_messages.size()));
    emit dataChanged(row, row, {ContentRole});
    emit liveTextChanged();
    m_liveTextThrottle.start();
}
