// A home folder whose data folder holds a number of conversations, written
// as the application writes them; shared by the conversation benchmarks.
#pragma once

#include "core/record_json.h"
#include "core/records.h"

#include <QDir>
#include <QFile>
#include <QString>

struct Prepared {
    QString home;
    qint64 bytes = 0;
    int files = 0;
};

inline QString messageText(int i)
{
    return QStringLiteral("Message %1: how would I write a function that parses a date in C++? "
                          "Here is some more text so that a message has a realistic length, with a "
                          "code block:\n```cpp\nint main() { return %1; }\n```\n").arg(i);
}

inline Prepared prepare(const QString &root, int conversations, int messagesEach)
{
    Prepared p;
    p.home = root;
    const QString sessions = root + QStringLiteral("/.local/share/Quorvane/Sessions");
    QDir().mkpath(sessions);
    QDir().mkpath(root + QStringLiteral("/.config/Quorvane"));
    for (int c = 0; c < conversations; ++c) {
        ChatSession s = ChatSession::make();
        s.title = QStringLiteral("Conversation %1").arg(c);
        s.createdAt = Date::fromSecondsSince2001(786000000.0 + c * 37.25);
        for (int m = 0; m < messagesEach; ++m) {
            ChatMessage msg = ChatMessage::make(messageText(m), m % 2 == 0);
            if (m % 10 == 0)
                msg.attachedFiles = QList<AttachedFile>{
                    {QUuid::createUuid(), QStringLiteral("notes.txt"), QStringLiteral("/home/u/notes.txt"),
                     QStringLiteral("txt"), 1234}};
            s.messages.append(msg);
        }
        const QByteArray json = *recordjson::encodeSessionDocument(s);
        QFile f(sessions + QLatin1Char('/') + canonicalUuid(s.id) + QStringLiteral(".json"));
        if (!f.open(QIODevice::WriteOnly) || f.write(json) != json.size())
            qFatal("cannot prepare %s", qPrintable(f.fileName()));
        p.bytes += json.size();
        ++p.files;
    }
    return p;
}

// Points the application's folders at home.
inline void pointAt(const QString &home)
{
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
}
