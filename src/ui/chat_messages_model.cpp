#include "ui/chat_messages_model.h"

#include "app/app_state.h"
#include "engine/prompt_assembly.h"
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

QString kindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Reply: return QStringLiteral("reply");
    case MessageKind::Notice: return QStringLiteral("notice");
    case MessageKind::Error: return QStringLiteral("error");
    case MessageKind::Stopped: return QStringLiteral("stopped");
    case MessageKind::Unset: break;
    }
    return {};
}

} // namespace

ChatMessagesModel::ChatMessagesModel(QObject *parent) : QAbstractListModel(parent)
{
    m_liveTextThrottle.setSingleShot(true);
    m_liveTextThrottle.setInterval(kLiveTextIntervalMs);
    connect(&m_liveTextThrottle, &QTimer::timeout, this, [this] {
        if (m_hasPendingLiveText && liveRow() >= 0) {
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
        connect(m_state, &AppState::messagesChanged, this, &ChatMessagesModel::applyChange);
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

int ChatMessagesModel::liveRow() const
{
    if (m_hasLiveRow)
        return int(m_messages.size());
    if (m_liveTarget.isNull())
        return -1;
    const auto it = findById(m_messages, m_liveTarget);
    return it != m_messages.cend() ? int(it - m_messages.cbegin()) : -1;
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
        case KindRole: return QStringLiteral("reply");
        case VersionCountRole: return 1;
        case ShownVersionRole: return 0;
        }
        return {};
    }
    const ChatMessage &message = m_messages.at(row);
    const bool live = !m_liveTarget.isNull() && message.id == m_liveTarget;
    switch (role) {
    case MessageIdRole: return canonicalUuid(message.id);
    case ContentRole: return live ? m_liveText : message.content;
    case IsFromUserRole: return message.isFromUser;
    case AttachmentsRole: return attachmentList(message);
    case IsLiveRole: return live;
    case FiguresRole: return live ? QString() : ui::figuresLine(message.figures);
    case KindRole: return kindName(messageKind(message));
    case VersionCountRole: return std::max(1, int(message.versions.size()));
    case ShownVersionRole: return message.shownVersion;
    }
    return {};
}

QHash<int, QByteArray> ChatMessagesModel::roleNames() const
{
    return {{MessageIdRole, "messageId"},   {ContentRole, "content"},         {IsFromUserRole, "isFromUser"},
            {AttachmentsRole, "attachments"}, {IsLiveRole, "isLive"},         {FiguresRole, "figures"},
            {KindRole, "kind"},             {VersionCountRole, "versionCount"}, {ShownVersionRole, "shownVersion"}};
}

void ChatMessagesModel::readLiveState(bool &generating, bool &live, QUuid &liveId, QString &text,
                                      QUuid &target) const
{
    generating = false;
    live = false;
    liveId = QUuid();
    target = QUuid();
    text.clear();
    if (!m_state || m_sessionId.isNull())
        return;
    generating = m_state->isGenerating(m_sessionId);
    const auto id = m_state->sessionStreamingId().constFind(m_sessionId);
    live = generating && id != m_state->sessionStreamingId().cend();
    if (live) {
        liveId = *id;
        text = m_state->sessionStreamingContent().value(m_sessionId);
        // Shown in place only while that reply is still listed here.
        const QUuid replacing = m_state->sessionRegeneratingId().value(m_sessionId);
        if (!replacing.isNull() && findById(m_messages, replacing) != m_messages.cend())
            target = replacing;
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
    m_sessionId = m_state ? m_state->currentSessionId() : QUuid();
    m_messages = m_state ? m_state->chatMessages() : QList<ChatMessage>();
    readLiveState(m_isGenerating, m_hasLiveRow, m_liveId, m_liveText, m_liveTarget);
    m_hasLiveRow = m_hasLiveRow && m_liveTarget.isNull();
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

void ChatMessagesModel::applyChange(const QUuid &sid, const MessagesChange &change)
{
    if (!m_state || sid != m_sessionId || sid != m_state->currentSessionId())
        return;
    // A live row that has ended goes first, so that the reply's message
    // takes its place at the end instead of landing above it.
    sync();
    const QList<ChatMessage> next = m_state->chatMessages();
    const int oldCount = messageCount();
    const int removedEnd = change.removedFirst + change.removedCount;
    if (change.removedCount < 0 || change.insertedCount < 0 || change.removedFirst < 0 || removedEnd > oldCount
        || oldCount - change.removedCount + change.insertedCount != next.size()) {
        reset(); // a change this model cannot follow row by row
        return;
    }
    if (change.removedCount > 0) {
        beginRemoveRows({}, change.removedFirst, removedEnd - 1);
        m_messages.remove(change.removedFirst, change.removedCount);
        endRemoveRows();
    }
    if (change.insertedCount > 0) {
        beginInsertRows({}, change.insertedFirst, change.insertedFirst + change.insertedCount - 1);
        m_messages = next;
        endInsertRows();
    }
    m_messages = next;
    for (int row : change.changed) {
        if (row >= 0 && row < m_messages.size())
            emit dataChanged(index(row), index(row));
    }
    if (oldCount != messageCount())
        emit messageCountChanged();
    sync();
}

void ChatMessagesModel::sync()
{
    if (!m_state || m_state->currentSessionId() != m_sessionId) {
        reset();
        return;
    }

    bool generating = false;
    bool live = false;
    QUuid liveId;
    QString text;
    QUuid target;
    readLiveState(generating, live, liveId, text, target);
    const bool wantsLiveRow = live && target.isNull();

    if (m_hasLiveRow && !wantsLiveRow)
        setLiveRow(false);
    if (target != m_liveTarget) {
        // The reply asked for again turns live, or back into its message.
        const int before = liveRow();
        m_liveTarget = target;
        m_liveText = text;
        for (int row : {before, liveRow()}) {
            if (row >= 0)
                emit dataChanged(index(row), index(row));
        }
    }

    const bool idChanged = liveId != m_liveId;
    m_liveId = liveId;
    if (wantsLiveRow && (!m_hasLiveRow || idChanged)) {
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
    if (liveRow() >= 0) {
        const QModelIndex row = index(liveRow());
        emit dataChanged(row, row, {ContentRole});
    }
    emit liveTextChanged();
    m_liveTextThrottle.start();
}
