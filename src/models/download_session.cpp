#include "models/download_session.h"

#include "models/download_transfer.h"
#include "platform/main_thread.h"

#include <QNetworkAccessManager>

DownloadSession::DownloadSession()
{
    m_thread.setObjectName(QStringLiteral("com.quorvane.modeldownload"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    // deferred deletions still run when the thread's loop has ended
    QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
}

DownloadSession::~DownloadSession()
{
    close();
    if (!m_started)
        delete m_context;
}

QNetworkAccessManager *DownloadSession::network()
{
    if (!m_network)
        m_network = new QNetworkAccessManager(m_context);
    return m_network;
}

void DownloadSession::post(std::function<void()> fn)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return;
    startLocked();
    mainthread::invokeOn(m_context, std::move(fn), Qt::QueuedConnection);
}

bool DownloadSession::call(const std::function<void()> &fn)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return false;
    startLocked();
    mainthread::invokeOn(m_context, fn, Qt::BlockingQueuedConnection);
    return true;
}

void DownloadSession::close()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_closed = true;
        if (!m_started)
            return;
        mainthread::invokeOn(
            m_context,
            [this] {
                const auto transfers = m_context->findChildren<DownloadTransfer *>(Qt::FindDirectChildrenOnly);
                for (DownloadTransfer *t : transfers)
                    delete t; // stops it
            },
            Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

void DownloadSession::startLocked()
{
    if (m_started)
        return;
    m_started = true;
    m_thread.start();
}
