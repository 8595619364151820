#pragma once

#include <optional>

#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Keeps Velko AI to one running instance per user. The first instance listens on a local socket
// in the runtime directory; a later `velko ARGS…` hands its arguments to it and exits. That is
// how the browser's sign-in callback (the desktop runs `velko vuvuvuv://…`) and files opened with
// the application reach the running instance.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QString socketPath = defaultPath(), QObject *parent = nullptr);

    // $XDG_RUNTIME_DIR/velko-ai.instance
    static QString defaultPath();

    // Hands `args` to the running instance when there is one (false: none took them). Otherwise
    // this process becomes the running instance; a socket left by a dead instance is replaced.
    // When the socket cannot be made, the reason goes to the application log and the
    // application runs on alone.
    bool claim(const QStringList &args);
    bool isListening() const { return m_server.isListening(); }

    // Acts on arguments given to this instance or handed to it: callback URLs go to the
    // browser session that waits for them, paths are opened as files, options are ignored.
    void dispatch(const QStringList &args);

    // An argument as the running instance must see it: paths made absolute (the running
    // instance has its own working directory), URLs and options unchanged.
    static QString portable(const QString &arg);

Q_SIGNALS:
    // A later `velko` was started, with or without arguments.
    void activated();
    void filesOpened(const QList<QUrl> &files);

private:
    bool handOff(const QStringList &args) const;
    std::optional<QString> listen();
    std::optional<QString> makeOwnerOnly();
    void accept();

    QString m_path;
    QLocalServer m_server;
};
