// The application as released, with service hosts on the command line and a control socket for the end-to-end
// tests: quorvane_e2e --control <socket> [--api-host URL] [--source-host URL] [--model-host URL]
// Commands come one a line, fields split by tabs; each gets one JSON object a line back ({"ok": true, ...} or
// {"ok": false, "error": ...}): click <name>, type <name> <text>, key <name> Return (on the shown control of that
// Accessible.name, objectName or label); texts; state (with every conversation); import <path> (the file chooser's
// answer in the model picker); invoke state|picker <method> [arg] (as the window's controls do); quit.
#include "app/model_picker_state.h"
#include "ui/application.h"
#include "ui/window_driver.h" // the window, the state and the engine

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaMethod>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

namespace {

class ControlServer : public QObject {
public:
    ControlServer(QQuickWindow *window, AppState &state, QObject *parent)
        : QObject(parent), m_driver(window), m_state(state)
    {
        // Every screen the window shows for at least a moment, in order.
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            QObject *screen = m_driver.window()->findChild<QObject *>(QStringLiteral("screen"));
            const QString title = screen ? screen->property("title").toString() : QString();
            if (!title.isEmpty() && (m_screens.isEmpty() || m_screens.last() != title))
                m_screens.append(title);
        });
        poll->start(20);
    }

    bool listen(const QString &path)
    {
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                    while (socket->canReadLine()) {
                        const QString line = QString::fromUtf8(socket->readLine()).chopped(1);
                        socket->write(QJsonDocument(handle(line.split(u'\t'))).toJson(QJsonDocument::Compact) + '\n');
                        socket->flush();
                    }
                });
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(path);
    }

private:
    static QJsonObject failure(const QString &error) { return {{"ok", false}, {"error", error}}; }

    QJsonObject handle(const QStringList &command)
    {
        const QString verb = command.value(0);
        auto *picker = m_state.findChild<ModelPickerState *>();
        if (verb == QLatin1String("texts"))
            return {{"ok", true}, {"texts", QJsonArray::fromStringList(m_driver.texts())}};
        if (verb == QLatin1String("state"))
            return state();
        if (verb == QLatin1String("invoke"))
            return invoke(command.value(1) == QLatin1String("picker") ? static_cast<QObject *>(picker) : &m_state,
                          command.value(2).toLatin1(), command.mid(3));
        QQuickItem *item = m_driver.control(command.value(1));
        if (verb == QLatin1String("quit")) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        } else if (verb == QLatin1String("import") && picker) {
            picker->importLocalModel({QUrl::fromLocalFile(command.value(1))});
        } else if (!item) {
            return failure(QStringLiteral("no shown control named \"%1\"").arg(command.value(1)));
        } else if (verb == QLatin1String("click")) {
            m_driver.click(item);
        } else if (verb == QLatin1String("type") || verb == QLatin1String("key")) {
            item->forceActiveFocus();
            if (verb == QLatin1String("type"))
                m_driver.type(command.value(2));
            else
                QTest::keyClick(m_driver.window(), Qt::Key_Return);
        } else {
            return failure(QStringLiteral("unknown command \"%1\"").arg(command.join(u' ')));
        }
        return {{"ok", true}};
    }

    static QJsonObject invoke(QObject *target, const QByteArray &name, const QStringList &args)
    {
        const QMetaObject *meta = target ? target->metaObject() : nullptr;
        for (int i = 0; meta && args.size() <= 1 && i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            QVariant value = args.value(0);
            if (method.name() != name || method.parameterCount() != args.size()
                || (!args.isEmpty() && !value.convert(method.parameterMetaType(0))))
                continue;
            const QGenericArgument argument(args.isEmpty() ? nullptr : method.parameterMetaType(0).name(), value.constData());
            if (method.invoke(target, Qt::DirectConnection, argument))
                return {{"ok", true}};
        }
        return failure(QStringLiteral("cannot call %1 with [%2]").arg(QString::fromLatin1(name), args.join(u' ')));
    }

    static QJsonArray messagesOf(const QList<ChatMessage> &list)
    {
        QJsonArray messages;
        for (const ChatMessage &message : list)
            messages.append(QJsonObject{{"isFromUser", message.isFromUser}, {"content", message.content}});
        return messages;
    }

    QJsonObject state() const
    {
        QJsonArray models;
        for (const AIModel &model : m_state.downloadedModels())
            models.append(QJsonObject{{"id", canonicalUuid(model.id)}, {"name", model.name},
                                      {"isDownloaded", model.isDownloaded}, {"filePath", model.filePath},
                                      {"progress", model.downloadProgress}});
        QJsonArray sessions;
        for (const ChatSession &session : m_state.chatSessions())
            sessions.append(QJsonObject{{"id", canonicalUuid(session.id)}, {"messages", messagesOf(session.messages)}});
        const std::optional<ChatSession> current = m_state.currentSession();
        return {{"ok", true},
                {"verified", m_state.engine().isLlamaCPPVerified()},
                {"currentView", int(m_state.currentView())},
                {"selectedModel", m_state.selectedModelName()},
                {"generating", m_state.isCurrentSessionGenerating()},
                {"models", models},
                {"sessions", sessions},
                {"current", current ? canonicalUuid(current->id) : QString()},
                {"currentSession", m_state.currentSessionTitle()},
                {"messages", messagesOf(m_state.chatMessages())},
                {"screens", QJsonArray::fromStringList(m_screens)}};
    }

    window_driver::WindowDriver m_driver;
    AppState &m_state;
    QLocalServer m_server;
    QStringList m_screens;
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    ui::describeApplication(app);
    ui::ServiceHosts hosts;
    QString control;
    const QHash<QString, QString *> flags = {{QStringLiteral("--control"), &control},
                                             {QStringLiteral("--api-host"), &hosts.releaseApi},
                                             {QStringLiteral("--source-host"), &hosts.sources},
                                             {QStringLiteral("--model-host"), &hosts.models}};
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (QString *value = flags.value(args.at(i)))
            *value = args.at(i + 1);
    }
    return ui::runApplication(app, hosts, [&](QQmlApplicationEngine &qml, AppState &state) {
        auto *window = qobject_cast<QQuickWindow *>(qml.rootObjects().value(0));
        if (!(new ControlServer(window, state, &app))->listen(control))
            qFatal("quorvane_e2e: cannot listen on \"%s\" (--control <socket> is needed)", qPrintable(control));
    });
}
