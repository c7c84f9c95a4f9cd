#include "platform/pdf_text.h"

#include <QFile>
#include <QLoggingCategory>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <memory>
#include <mutex>

namespace {

Q_LOGGING_CATEGORY(lcPoppler, "com.quorvane.app.Poppler", QtWarningMsg)

void routePopplerMessages(const std::string &message, void *)
{
    qCDebug(lcPoppler, "%s", message.c_str());
}

// A page's text without the line breaks and form feed that poppler puts
// after it.
QString pageText(const poppler::ustring &text)
{
    const poppler::byte_array utf8 = text.to_utf8();
    QString page = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    qsizetype end = page.size();
    while (end > 0 && page.at(end - 1).isSpace())
        --end;
    page.truncate(end);
    return page;
}

} // namespace

std::optional<PdfText> readPdfText(const QString &path)
{
    static std::once_flag quietPoppler;
    std::call_once(quietPoppler, [] { poppler::set_debug_error_function(routePopplerMessages, nullptr); });

    const std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(path).toStdString()));
    if (!document || document->is_locked())
        return std::nullopt;

    PdfText result;
    result.pageCount = document->pages();
    QStringList pages;
    pages.reserve(result.pageCount);
    for (int i = 0; i < result.pageCount; ++i) {
        const std::unique_ptr<poppler::page> page(document->create_page(i));
        pages.append(page ? pageText(page->text()) : QString());
    }
    result.text = pages.join(QLatin1Char('\n'));
    return result;
}
