#pragma once

#include "core/records.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A conversation written out for people or for another installation, and
// read back in.
namespace conversationexport {

// Largest file an import reads.
inline constexpr qint64 kMaxImportBytes = 64 * 1000 * 1000;

// Readable Markdown: the title, then each message under its role and local
// time, its text as written (code blocks intact), the names of its attached
// files; a reply that was asked for again says which of its answers shows.
QString markdown(const ChatSession &session);

// A file name made of the title: characters a file system refuses or that
// confuse a shell become "-", at most 60 characters, "Conversation" when
// nothing is left.
QString fileNameStem(const QString &title);

struct Imported {
    std::optional<ChatSession> session;
    QString error;          // why nothing could be read, when session is empty
    int messagesGivenIds = 0; // messages that had no readable id and got a new one
};

// Reads a JSON export (one stored conversation). A conversation or message
// without a readable id gets a new one; anything else unreadable refuses the
// whole file, with the reason.
Imported readJson(const QByteArray &bytes);

} // namespace conversationexport
