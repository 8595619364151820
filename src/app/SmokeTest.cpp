#include "app/SmokeTest.h"

#include "app/AppModel.h"
#include "capture/HostControl.h"
#include "core/LocalHttp.h"
#include "core/ProcessTree.h"
#include "core/ServerConfig.h"
#include "core/Supervisor.h"
#include "core/VelkoServer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>

#include <qcoro/qcorotimer.h>

#include <cstdio>

using namespace std::chrono_literals;

namespace {

void finish(const QJsonObject &report)
{
    // QJsonObject keeps its keys sorted.
    const QByteArray json = QJsonDocument(report).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    // Queued: a pipeline that cannot even be launched ends the test before the event loop runs.
    const int status = report.value(QStringLiteral("ok")).toBool() ? 0 : 1;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
        Qt::QueuedConnection);
}

QCoro::Task<QString> checkPage(QNetworkAccessManager *manager, int port, QString token)
{
    const LocalHttp::Answer index =
        co_await LocalHttp::get(manager, port, QStringLiteral("/"), token, 3s);
    if (index.status != 200)
        co_return QStringLiteral("no index");
    static const QRegularExpression script(QStringLiteral("src=\"\\./assets/[^\"]+\\.js\""));
    const QRegularExpressionMatch match = script.match(QString::fromUtf8(index.body));
    if (!match.hasMatch())
        co_return QStringLiteral("no script in the index");
    const QString matched = match.captured();
    const QString src = matched.mid(5, matched.size() - 6); // "./assets/….js"
    const LocalHttp::Answer loaded =
        co_await LocalHttp::get(manager, port, QLatin1Char('/') + src.mid(2), token, 3s);
    co_return loaded.status == 200 ? QStringLiteral("ok")
                                   : QStringLiteral("script %1 did not load").arg(src);
}

QString expectedBackend()
{
    const QString configured = qEnvironmentVariable("VELKO_CAPTURE");
    return configured.isEmpty() ? AppModel::captureBackend() : configured;
}

} // namespace

namespace SmokeTest {

QCoro::Task<> run(AppModel &model, std::chrono::milliseconds startDeadline)
{
    QPointer<AppModel> self(&model);
    const auto deadline = std::chrono::steady_clock::now() + startDeadline;
    QJsonObject report;

    for (;;) {
        if (!self)
            co_return;
        const SupervisorPhase phase = self->supervisor().phase();
        if (phase.kind == SupervisorPhase::Running)
            break;
        if (phase.kind == SupervisorPhase::Crashed) {
            report.insert(QStringLiteral("ok"), false);
            report.insert(QStringLiteral("error"), phase.reason);
            finish(report);
            co_return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            report.insert(QStringLiteral("ok"), false);
            report.insert(
                QStringLiteral("error"),
                QStringLiteral("pipeline did not start within %1s")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(startDeadline).count()));
            const QStringList lines = self->supervisor().lastLines();
            report.insert(QStringLiteral("last_lines"),
                          QJsonArray::fromStringList(lines.mid(qMax(0, lines.size() - 10))));
            self->supervisor().stop();
            finish(report);
            co_return;
        }
        co_await QCoro::sleepFor(200ms);
    }

    Supervisor &supervisor = self->supervisor();
    const int port = supervisor.phase().port;
    const QString token = supervisor.token();
    report.insert(QStringLiteral("port"), port);
    const int withToken = co_await Supervisor::status(port, token);
    const int withoutToken = co_await Supervisor::status(port, std::nullopt);
    const int wrongToken = co_await Supervisor::status(port, QStringLiteral("dvud"));
    report.insert(QStringLiteral("with_token"), withToken);
    report.insert(QStringLiteral("without_token"), withoutToken);
    report.insert(QStringLiteral("wrong_token"), wrongToken);

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    const LocalHttp::Answer status =
        co_await LocalHttp::get(&manager, port, QStringLiteral("/api/status"), token, 3s);
    const QJsonValue backend = status.object()
                                   .value_or(QJsonObject())
                                   .value(QStringLiteral("caps"))
                                   .toObject()
                                   .value(QStringLiteral("backend"));
    const QString captureBackend = backend.isString() ? backend.toString() : QStringLiteral("?");
    report.insert(QStringLiteral("capture_backend"), captureBackend);
    const QString page = co_await checkPage(&manager, port, token);
    report.insert(QStringLiteral("page"), page);
    if (!self)
        co_return;

    HostControl *host = self->host();
    report.insert(QStringLiteral("host_socket"), host && QFileInfo::exists(host->path()));
    const bool remote = ServerConfig::mode() == ServerConfig::Mode::Remote;
    report.insert(QStringLiteral("server_mode"),
                  remote ? QStringLiteral("remote") : QStringLiteral("builtin"));
    const std::optional<quint16> serverPort = supervisor.server().port();
    const bool healthy = serverPort && VelkoServer::healthy(*serverPort);
    report.insert(QStringLiteral("server_healthy"), healthy);
    const std::optional<QString> serverError = supervisor.serverError();
    report.insert(QStringLiteral("server_error"),
                  serverError ? QJsonValue(*serverError) : QJsonValue(QJsonValue::Null));

    const pid_t pipeline = supervisor.pid();
    const pid_t server = supervisor.server().pid();
    const QList<pid_t> tree = pipeline > 0 ? ProcessTree::descendants(pipeline) : QList<pid_t>();
    report.insert(QStringLiteral("tree_before_stop"), int(tree.size())); // the pipeline included

    // A process both reported by the stop and found in the tree counts once.
    QSet<pid_t> left;
    for (const pid_t survivor : supervisor.stop())
        left.insert(survivor);
    for (const pid_t member : tree.mid(1)) {
        if (ProcessTree::isAlive(member))
            left.insert(member);
    }
    if (server >= 1 && ProcessTree::isAlive(server))
        left.insert(server);
    report.insert(QStringLiteral("left_after_stop"), int(left.size()));

    const bool ok = withToken == 200 && withoutToken == 401 && wrongToken == 401 &&
        left.isEmpty() && page == QLatin1String("ok") && (remote || healthy) &&
        captureBackend == expectedBackend();
    report.insert(QStringLiteral("ok"), ok);
    finish(report);
}

} // namespace SmokeTest
