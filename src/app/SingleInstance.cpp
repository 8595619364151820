#include "app/SingleInstance.h"

#include "core/AppLog.h"
#include "core/Paths.h"
#include "platform/WebAuthSession.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>

namespace {

// Long enough for a busy running instance to answer, short enough that a hung one does not keep
// the desktop's launcher waiting.
constexpr int handOffTimeoutMs = 5000;
// A hand-off is a handful of paths; anything longer is not one.
constexpr qint64 maxMessage = 1 << 20;

bool isUrl(const QString &arg)
{
    const QUrl url(arg);
    return url.isValid() && url.scheme().size() > 1;
}

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_path(std::move(socketPath))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

QString SingleInstance::defaultPath()
{
    return Paths::runtimeDir() + QStringLiteral("/velko-ai.instance");
}

bool SingleInstance::claim(const QStringList &args)
{
    if (handOff(args))
        return false;
    std::optional<QString> error = listen();
    // Another instance may have started between the hand-off and the listen.
    if (error && handOff(args))
        return false;
    if (error)
        AppLog::write(QStringLiteral("single instance: ") + *error);
    return true;
}

bool SingleInstance::handOff(const QStringList &args) const
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(handOffTimeoutMs))
        return false;
    QJsonArray list;
    for (const QString &arg : args)
        list.append(portable(arg));
    socket.write(QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(handOffTimeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(handOffTimeoutMs))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

std::optional<QString> SingleInstance::listen()
{
    if (m_server.listen(m_path))
        return makeOwnerOnly();
    if (m_server.serverError() != QAbstractSocket::AddressInUseError)
        return QStringLiteral("could not listen on %1: %2").arg(m_path, m_server.errorString());
    // The socket file exists. A live instance answers on it; a dead one's file is replaced.
    QLocalSocket probe;
    probe.connectToServer(m_path);
    if (probe.waitForConnected(1000))
        return QStringLiteral("another instance listens on %1").arg(m_path);
    QLocalServer::removeServer(m_path);
    if (!m_server.listen(m_path))
        return QStringLiteral("could not listen on %1: %2").arg(m_path, m_server.errorString());
    return makeOwnerOnly();
}

std::optional<QString> SingleInstance::makeOwnerOnly()
{
    if (!QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner))
        return QStringLiteral("could not make %1 owner-only").arg(m_path);
    return std::nullopt;
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > maxMessage)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(maxMessage);
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!document.isArray()) {
                AppLog::write(QStringLiteral("single instance: refused a malformed hand-off"));
                socket->abort();
                return;
            }
            QStringList args;
            for (const QJsonValue &value : document.array())
                if (value.isString())
                    args << value.toString();
            socket->write("ok\n");
            socket->disconnectFromServer();
            dispatch(args);
            emit activated();
        });
    }
}

void SingleInstance::dispatch(const QStringList &args)
{
    QList<QUrl> files;
    for (const QString &arg : args) {
        if (arg.startsWith(u'-'))
            continue;
        if (isUrl(arg)) {
            const QUrl url(arg);
            if (url.isLocalFile())
                files << url;
            else if (!WebAuthSession::deliver(url))
                AppLog::write(
                    QStringLiteral("single instance: nothing waits for %1:").arg(url.scheme()));
            continue;
        }
        files << QUrl::fromLocalFile(QFileInfo(arg).absoluteFilePath());
    }
    if (!files.isEmpty())
        emit filesOpened(files);
}

QString SingleInstance::portable(const QString &arg)
{
    if (arg.startsWith(u'-') || isUrl(arg))
        return arg;
    return QFileInfo(arg).absoluteFilePath();
}
