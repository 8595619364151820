#pragma once

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTest>

#include <csignal>

#include <sys/prctl.h>

// The development account service (resources/dev/account_service.py) on a free loopback port,
// for as long as the object lives.
class DevAccountService
{
public:
    DevAccountService()
    {
        m_process.setProgram(QStringLiteral("/usr/bin/python3"));
        m_process.setArguments(
            {QStringLiteral(VELKO_SOURCE_DIR "/resources/dev/account_service.py")});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        // The service goes with the test, even when the test crashes.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start();
        m_process.waitForStarted(5000);
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired())
            m_process.waitForReadyRead(100);
        const QByteArray line = m_process.readLine().trimmed();
        m_url = QString::fromUtf8(line.mid(line.indexOf("http://")));
    }
    ~DevAccountService()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool isRunning() const { return m_url.startsWith(QLatin1StringView("http://127.0.0.1:")); }
    QString url() const { return m_url; }

    QJsonObject call(const QString &path, const std::optional<QJsonObject> &body = {})
    {
        QNetworkRequest request(QUrl(m_url + path));
        request.setTransferTimeout(5000);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *reply =
            body ? m_network.post(request, QJsonDocument(*body).toJson()) : m_network.get(request);
        QDeadlineTimer deadline(10000);
        while (!reply->isFinished() && !deadline.hasExpired())
            QTest::qWait(5);
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        delete reply;
        return answer;
    }
    // How the next sign-ins behave (see the service's description).
    void next(const QJsonObject &behaviour) { call(QStringLiteral("/dev/next"), behaviour); }
    void reset() { call(QStringLiteral("/dev/reset"), QJsonObject()); }
    QJsonArray requests() { return call(QStringLiteral("/dev/requests"))["requests"].toArray(); }

private:
    QProcess m_process;
    QNetworkAccessManager m_network;
    QString m_url;
};
