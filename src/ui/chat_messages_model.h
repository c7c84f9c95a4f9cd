#pragma once

#include "core/records.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include "app/app_state.h"

// The rows of the chat screen: the messages of the current conversation and,
// while a reply is on its way there, one live row after them (the text
// streamed so far, empty while the typing indicator shows); a reply asked
// for again is itself the live row. It follows the application state's
// announced changes row by row (inserted, removed, changed rows), and is
// rebuilt only when another conversation becomes the current one. The live
// text reaches
// the row at most once per kLiveTextIntervalMs: laying out a long reply
// again for every piece of a fast stream would keep the main thread busy,
// and nobody reads faster than that.
class ChatMessagesModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject *appState READ appState WRITE setAppState NOTIFY appStateChanged)
    Q_PROPERTY(int messageCount READ messageCount NOTIFY messageCountChanged)
    Q_PROPERTY(bool isGenerating READ isGenerating NOTIFY isGeneratingChanged)
    Q_PROPERTY(bool hasLiveRow READ hasLiveRow NOTIFY hasLiveRowChanged)
    Q_PROPERTY(QString liveText READ liveText NOTIFY liveTextChanged)
    Q_PROPERTY(QString sessionId READ sessionId NOTIFY conversationChanged)

public:
    enum Role {
        MessageIdRole = Qt::UserRole + 1,
        ContentRole,
        IsFromUserRole,
        AttachmentsRole,
        IsLiveRole,
        FiguresRole, // the line of the reply's figures, empty when it has none
        KindRole,    // "reply", "notice", "error", "stopped"; empty for a user's message
        VersionCountRole, // how many answers a reply has (1 when never asked again)
        ShownVersionRole, // which of them shows, from 0
    };

    static constexpr int kLiveTextIntervalMs = 50;

    explicit ChatMessagesModel(QObject *parent = nullptr);

    QObject *appState() const;
    void setAppState(QObject *state);

    // The messages of the current conversation, without the live row.
    int messageCount() const { return int(m_messages.size()); }
    // The current conversation is waiting for or receiving a reply.
    bool isGenerating() const { return m_isGenerating; }
    bool hasLiveRow() const { return m_hasLiveRow; }
    // The live text as the live row shows it.
    QString liveText() const { return m_liveText; }
    // The current conversation's id, empty without one.
    QString sessionId() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void appStateChanged();
    void messageCountChanged();
    void isGeneratingChanged();
    void hasLiveRowChanged();
    void liveTextChanged();
    // Another conversation became the current one (also none).
    void conversationChanged();

private:
    // Brings the rows in line with the state; each change of the state ends
    // here.
    void sync();
    // Applies one announced change of the current conversation.
    void applyChange(const QUuid &sid, const MessagesChange &change);
    void reset();
    // The row that shows the live text: the live row, or the reply asked
    // for again; -1 without one.
    int liveRow() const;
    void setLiveRow(bool present);
    // Shows the text in the live row now, or when the interval since the
    // last time has passed.
    void showLiveText(const QString &text);
    void readLiveState(bool &generating, bool &live, QUuid &liveId, QString &text, QUuid &target) const;

    QPointer<AppState> m_state;
    QUuid m_sessionId;
    // A copy of the state's list, brought up to date by each change.
    QList<ChatMessage> m_messages;
    bool m_isGenerating = false;
    bool m_hasLiveRow = false;
    QUuid m_liveId;
    // The reply being asked for again, shown live in place of a live row.
    QUuid m_liveTarget;
    QString m_liveText;
    QTimer m_liveTextThrottle;
    QString m_pendingLiveText;
    bool m_hasPendingLiveText = false;
};
