#include "app/model_picker_state.h"

#include "app/app_state.h"
#include "core/file_manager_utility.h"
#include "models/curated_catalog.h"
#include "platform/byte_count.h"
#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

constexpr int kHeadTimeoutMs = 10000;

} // namespace

ModelPickerState::ModelPickerState(AppState &appState, QObject *parent)
    : QObject(parent), m_appState(appState), m_modelHost(QLatin1String(CuratedCatalog::kModelHost)),
      m_network(new QNetworkAccessManager(this))
{
}

ModelPickerState::~ModelPickerState() = default;

void ModelPickerState::setHuggingFaceURL(const QString &text)
{
    if (m_huggingFaceURL == text)
        return;
    m_huggingFaceURL = text;
    emit huggingFaceURLChanged();
}

void ModelPickerState::reset()
{
    setHuggingFaceURL({});
    setModelName({});
    setShowingAlert(false);
}

void ModelPickerState::setModelName(const QString &text)
{
    if (m_modelName == text)
        return;
    m_modelName = text;
    emit modelNameChanged();
}

void ModelPickerState::setShowingAlert(bool value)
{
    if (m_showingAlert == value)
        return;
    m_showingAlert = value;
    emit alertChanged();
}

void ModelPickerState::setCheckingCatalogEntry(bool value)
{
    if (m_isCheckingCatalogEntry == value)
        return;
    m_isCheckingCatalogEntry = value;
    emit isCheckingCatalogEntryChanged();
}

void ModelPickerState::showError(const QString &text)
{
    m_alertMessage = text;
    m_showingAlert = true;
    emit alertChanged();
}

QString ModelPickerState::resolveLinkMessage()
{
    return tr("Please provide a direct download URL containing '/resolve/main/' followed by the file "
              "name.\n\nExample:\n")
           + QLatin1String(CuratedCatalog::kModelHost)
           + QStringLiteral("/Qwen/Qwen2.5-0.5B-Instruct-GGUF/resolve/main/qwen2.5-0.5b-instruct-q4_0.gguf");
}

QString ModelPickerState::catalogUrl(const CuratedModel &entry) const
{
    return CuratedCatalog::catalogUrl(entry, m_modelHost);
}

void ModelPickerState::downloadCuratedModelAt(int catalogIndex)
{
    const QList<CuratedModel> &all = CuratedCatalog::all();
    if (catalogIndex >= 0 && catalogIndex < all.size())
        downloadCuratedModel(all[catalogIndex]);
}

void ModelPickerState::downloadCuratedModel(const CuratedModel &entry)
{
    if (m_isCheckingCatalogEntry)
        return;
    const QString link = catalogUrl(entry);
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        showError(tr("Invalid model URL"));
        return;
    }
    // The catalog is fixed in the program; the hosting service may have
    // moved a file since. Ask before creating a record.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kHeadTimeoutMs);
    QNetworkReply *reply = m_network->head(request);
    setCheckingCatalogEntry(true);
    connect(reply, &QNetworkReply::finished, this, [this, reply, entry, link] {
        reply->deleteLater();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const int code = status.isValid() ? status.toInt() : 0;
        // The answer reaches the screens (a closed sheet included) before
        // the check counts as over.
        if (code >= 200 && code <= 399)
            startCuratedDownload(entry, link);
        else
            showError(tr("Model unavailable (HTTP %1). Hugging Face may have renamed or removed this "
                          "file. Try Custom URL with a fresh link.")
                          .arg(code));
        setCheckingCatalogEntry(false);
    });
}

void ModelPickerState::startCuratedDownload(const CuratedModel &entry, const QString &url)
{
    AIModel model = AIModel::make(entry.name, url);
    model.size = tr("Downloading...");
    m_appState.addModel(model);
    m_appState.startModelDownload(model, "Failed: %s");
    m_appState.setCurrentView(AppView::Models);
    emit dismissRequested();
}

void ModelPickerState::downloadFromCustomURL()
{
    if (m_huggingFaceURL.isEmpty())
        return;
    const QString link = m_huggingFaceURL;
    const QUrl url(link, QUrl::StrictMode);
    const bool parses = url.isValid() && !url.scheme().isEmpty();
    QString name = m_modelName;
    if (name.isEmpty()) {
        // The last segment that has a name: a link may end in "/".
        const QStringList segments = parses ? url.path().split(QLatin1Char('/'), Qt::SkipEmptyParts) : QStringList();
        const QString last = segments.isEmpty() ? QString() : segments.last();
        name = last.isEmpty() ? tr("Unknown Model") : QString(last).remove(QStringLiteral(".gguf"));
    }
    if (!parses) {
        showError(tr("Invalid URL format"));
        return;
    }
    if (!link.contains(QStringLiteral("/resolve/"))) {
        showError(resolveLinkMessage());
        return;
    }
    AIModel model = AIModel::make(name, link);
    model.size = tr("Downloading...");
    m_appState.addModel(model);
    setHuggingFaceURL(QString());
    setModelName(QString());
    mainthread::post(this, [this] {
        m_appState.setCurrentView(AppView::Models);
        emit dismissRequested();
    });
    m_appState.startModelDownload(model, "Download failed: %s");
}

void ModelPickerState::importFailed(const QString &description)
{
    showError(tr("Error loading model: %1").arg(description));
}

void ModelPickerState::importLocalModel(const QList<QUrl> &urls)
{
    if (urls.isEmpty() || m_isImporting)
        return;
    const QString source = urls.first().toLocalFile();
    const QFileInfo info(source);
    if (info.suffix().toLower() != QLatin1String("gguf")) {
        showError(tr("Please select a .gguf model file"));
        return;
    }
    if (!info.exists()) {
        showError(tr("Error loading model: The file “%1” couldn’t be opened because there is no such file.")
                      .arg(info.fileName()));
        return;
    }
    if (!info.isFile()) {
        showError(tr("Error loading model: “%1” is not a file.").arg(info.fileName()));
        return;
    }
    const QString sizeText = formatByteCount(info.size());
    const QString modelsDirectory = FileManagerUtility::shared().modelsDirectory();
    FileManagerUtility::ensureDirectoryExists(modelsDirectory);
    const QString destination = modelsDirectory + QLatin1Char('/') + info.fileName();
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink()) {
        showError(tr("A model with this filename already exists"));
        return;
    }
    m_pendingImport = PendingImport{info.absoluteFilePath(), destination};
    emit confirmationRequested(
        tr("Copy %1 into Quorvane's storage?").arg(sizeText),
        tr("Quorvane will keep its own copy of %1 (%2) under Application Support. The original at %3 "
           "will not be touched. If you don't have the disk space for a second copy, cancel.")
            .arg(info.fileName(), sizeText, info.absoluteFilePath()));
}

void ModelPickerState::answerConfirmation(bool copy)
{
    const std::optional<PendingImport> pending = std::exchange(m_pendingImport, std::nullopt);
    if (!pending || !copy)
        return;
    m_isImporting = true;
    emit isImportingChanged();
    QPointer<ModelPickerState> self(this);
    // The copy of gigabytes runs off the main thread; the record appears
    // once the whole file is in place, also if the picker was closed.
    m_appState.importModelFile(pending->source, pending->destination, [self](const std::optional<QString> &error) {
        if (!self)
            return;
        self->m_isImporting = false;
        emit self->isImportingChanged();
        if (error) {
            self->showError(tr("Error loading model: %1").arg(*error));
            return;
        }
        emit self->dismissRequested();
    });
}
