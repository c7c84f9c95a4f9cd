#pragma once

#include "platform/child_process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QTest>

#include <optional>

// What the installation tests and the disk-fault campaign build on disk: git repositories served as file:// hosts,
// archives for the loopback server, and an installer's answer.

// Runs a program, warning with its output when it does not succeed.
inline bool runOk(const QString &program, const QStringList &arguments, int timeoutMs = 600000)
{
    const ChildProcess::Result run = ChildProcess::run(program, arguments, timeoutMs, 1 << 20);
    if (!run.succeeded())
        qWarning("%s %s failed: %s %s", qPrintable(program), qPrintable(arguments.join(u' ')),
                 qPrintable(run.error), run.standardError.constData());
    return run.succeeded();
}

inline QByteArray randomBytes(qsizetype size) // bytes that do not compress, the same in every run
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(7).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

inline bool writeBytes(const QString &path, const QByteArray &bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

// A gzip'ed tar of folder/top (a top folder, as the published archives have), and of folder/other when given.
inline bool packFolder(const QString &folder, const QString &top, const QString &archive, const QString &other = {})
{
    QDir().mkpath(QFileInfo(archive).path());
    QStringList arguments = {QStringLiteral("-czf"), archive, QStringLiteral("-C"), folder, top};
    if (!other.isEmpty())
        arguments << other;
    return runOk(QStringLiteral("/usr/bin/tar"), arguments);
}

// A bare repository at hostRoot + "/ggml-org/llama.cpp.git" holding files (path → content) in one commit, so
// that hostRoot as a file:// URL is a source host.
inline bool makeSourceRepository(const QString &hostRoot, const QMap<QString, QByteArray> &files)
{
    const QString work = hostRoot + QStringLiteral("/work");
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!writeBytes(work + u'/' + it.key(), it.value()))
            return false;
    }
    const QString script = QStringLiteral("cd \"$1\" && git init -q && git add . && git -c user.name=Test "
                                          "-c user.email=test@localhost commit -q -m sources "
                                          "&& git clone -q --bare . \"$0\"");
    const QString repository = hostRoot + QStringLiteral("/ggml-org/llama.cpp.git");
    return runOk(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, repository, work});
}

inline QMap<QString, QByteArray> tinySourceTree() // builds stand-ins for llama-completion and llama-cli in seconds
{
    return {
        {QStringLiteral("CMakeLists.txt"),
         "cmake_minimum_required(VERSION 3.13)\nproject(tiny C)\n"
         "set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)\n"
         "add_executable(llama-completion src/tool.c)\nadd_executable(llama-cli src/tool.c)\n"},
        {QStringLiteral("src/tool.c"),
         "#include <stdio.h>\nint main(void) { puts(\"version: 1 (tiny stand-in)\"); return 0; }\n"},
    };
}

struct InstallOutcome { // what an installer reported, and how often
    std::optional<bool> success;
    std::optional<QString> message;
    int calls = 0;
    auto completion()
    {
        return [this](bool ok, const std::optional<QString> &text) {
            success = ok;
            message = text;
            ++calls;
        };
    }
};
