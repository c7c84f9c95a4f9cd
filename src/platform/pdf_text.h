#pragma once

#include <QString>

#include <optional>

// The text layer of a PDF document, read through poppler.
struct PdfText {
    QString text;      // the pages' texts, each ending in its last visible character, joined by a newline
    int pageCount = 0;
};

// Opens the PDF at path and takes the text of all its pages. Returns nothing
// when the document cannot be opened: not a PDF, damaged beyond repair, or
// locked by a password. A document that opens but has no text layer gives an
// empty text. Safe on any thread; poppler's own complaints about a damaged
// file go to the debug log, not to the standard error.
std::optional<PdfText> readPdfText(const QString &path);
