#pragma once

#include <QAbstractListModel>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class AppState;
class ComposerState;

// The files attached to the next message as a list for the composer's
// cards: each added or removed file is a row inserted or removed, so that a
// card comes and goes with its own transition.
class ComposerAttachments : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        UrlRole = Qt::UserRole + 1,
        // The last segment of the file's path.
        FileNameRole,
        // The extension is exactly "pdf" (a card shows "PDF" files as text).
        IsPdfRole,
    };

    explicit ComposerAttachments(const QList<QUrl> &files, QObject *parent) : QAbstractListModel(parent), m_files(files) {}
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_files.size()); }
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    friend class ComposerState;
    const QList<QUrl> &m_files;
};

// What the chat screen's composer holds: the text being typed, the files
// attached to the next message, and the alerts it raises. The chat screen
// owns one and binds to it; every rule lives here so it can be tested
// without a window.
class ComposerState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString messageText READ messageText WRITE setMessageText NOTIFY messageTextChanged)
    Q_PROPERTY(QList<QUrl> attachedFiles READ attachedFiles NOTIFY attachedFilesChanged)
    Q_PROPERTY(QAbstractListModel *attachments READ attachments CONSTANT)
    Q_PROPERTY(bool showingNoModelAlert READ showingNoModelAlert WRITE setShowingNoModelAlert NOTIFY
                   showingNoModelAlertChanged)
    Q_PROPERTY(bool showingAttachmentAlert READ showingAttachmentAlert WRITE setShowingAttachmentAlert NOTIFY
                   attachmentAlertChanged)
    Q_PROPERTY(QString attachmentAlertMessage READ attachmentAlertMessage NOTIFY attachmentAlertChanged)

public:
    explicit ComposerState(AppState &appState, QObject *parent = nullptr);

    QString messageText() const { return m_messageText; }
    void setMessageText(const QString &text);
    const QList<QUrl> &attachedFiles() const { return m_attachedFiles; }
    ComposerAttachments *attachments() const { return m_attachments; }
    bool showingNoModelAlert() const { return m_showingNoModelAlert; }
    void setShowingNoModelAlert(bool value);
    bool showingAttachmentAlert() const { return m_showingAttachmentAlert; }
    void setShowingAttachmentAlert(bool value);
    QString attachmentAlertMessage() const { return m_attachmentAlertMessage; }

    // The send action (button or Return).
    Q_INVOKABLE void sendMessage();

    // Picked or dropped files: duplicates are skipped, files over the size
    // limit are refused and named in the "File Too Large" alert.
    Q_INVOKABLE void addAttachments(const QList<QUrl> &urls);
    // A drop: each file goes through addAttachments on its own; folders are
    // ignored. True when at least one item was a local file or folder URL.
    Q_INVOKABLE bool dropUrls(const QList<QUrl> &urls);
    Q_INVOKABLE void removeAttachment(int index);
    Q_INVOKABLE void clearAttachments();

signals:
    void messageTextChanged();
    void attachedFilesChanged();
    void showingNoModelAlertChanged();
    void attachmentAlertChanged();
    // The message field should take the keyboard focus.
    void messageFieldFocusRequested();

private:
    AppState &m_appState;
    QString m_messageText;
    QList<QUrl> m_attachedFiles;
    ComposerAttachments *m_attachments;
    bool m_showingNoModelAlert = false;
    bool m_showingAttachmentAlert = false;
    QString m_attachmentAlertMessage;
};
