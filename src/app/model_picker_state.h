#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <optional>

class AppState;
class QNetworkAccessManager;
struct CuratedModel;

// What the model picker holds and does: the custom-link and name fields, its
// alert, and the three ways a model enters the library (a catalog entry, a
// pasted download link, a .gguf file on the disk). The picker screen owns
// one and binds to it; tests drive it without a window.
class ModelPickerState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString huggingFaceURL READ huggingFaceURL WRITE setHuggingFaceURL NOTIFY huggingFaceURLChanged)
    Q_PROPERTY(QString modelName READ modelName WRITE setModelName NOTIFY modelNameChanged)
    Q_PROPERTY(QString alertMessage READ alertMessage NOTIFY alertChanged)
    Q_PROPERTY(bool showingAlert READ showingAlert WRITE setShowingAlert NOTIFY alertChanged)
    Q_PROPERTY(bool isImporting READ isImporting NOTIFY isImportingChanged)
    // A catalog entry's file is being checked; other catalog downloads wait.
    Q_PROPERTY(bool isCheckingCatalogEntry READ isCheckingCatalogEntry NOTIFY isCheckingCatalogEntryChanged)

public:
    explicit ModelPickerState(AppState &appState, QObject *parent = nullptr);
    ~ModelPickerState() override;

    QString huggingFaceURL() const { return m_huggingFaceURL; }
    void setHuggingFaceURL(const QString &text);
    QString modelName() const { return m_modelName; }
    void setModelName(const QString &text);
    QString alertMessage() const { return m_alertMessage; }
    bool showingAlert() const { return m_showingAlert; }
    void setShowingAlert(bool value);
    bool isImporting() const { return m_isImporting; }
    bool isCheckingCatalogEntry() const { return m_isCheckingCatalogEntry; }

    // A fresh picker: empty fields and no alert (each time the sheet opens).
    Q_INVOKABLE void reset();

    // Where catalog files are fetched from; tests point it at a loopback
    // server (the catalog's links keep their path).
    QString modelHost() const { return m_modelHost; }
    void setModelHost(const QString &host) { m_modelHost = host; }
    // The link a catalog entry is downloaded from.
    QString catalogUrl(const CuratedModel &entry) const;

    // A catalog entry: checks that the file is still there, then downloads
    // and shows the models screen; ignored while another check runs.
    void downloadCuratedModel(const CuratedModel &entry);
    Q_INVOKABLE void downloadCuratedModelAt(int catalogIndex);
    // The custom-link tab's download button.
    Q_INVOKABLE void downloadFromCustomURL();
    // The file chooser's answer: the chosen files, or why it failed.
    Q_INVOKABLE void importLocalModel(const QList<QUrl> &urls);
    Q_INVOKABLE void importFailed(const QString &description);
    // The answer to confirmationRequested: true copies the file.
    Q_INVOKABLE void answerConfirmation(bool copy);

    static QString resolveLinkMessage();

signals:
    void huggingFaceURLChanged();
    void modelNameChanged();
    void alertChanged();
    void isImportingChanged();
    void isCheckingCatalogEntryChanged();
    // The picker should close.
    void dismissRequested();
    // A yes/no question before a local file is copied ("Copy" / "Cancel").
    void confirmationRequested(const QString &message, const QString &informativeText);

private:
    void showError(const QString &text);
    void startCuratedDownload(const CuratedModel &entry, const QString &url);
    void setCheckingCatalogEntry(bool value);

    struct PendingImport {
        QString source;
        QString destination;
    };

    AppState &m_appState;
    QString m_huggingFaceURL;
    QString m_modelName;
    QString m_alertMessage;
    bool m_showingAlert = false;
    bool m_isImporting = false;
    bool m_isCheckingCatalogEntry = false;
    QString m_modelHost; // the model hosting service unless a test changes it
    QNetworkAccessManager *m_network = nullptr;
    std::optional<PendingImport> m_pendingImport;
};
