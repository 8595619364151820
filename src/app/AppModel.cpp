#include "app/AppModel.h"

#include "app/Import.h"
#include "app/LoginItem.h"
#include "app/NotificationPresenter.h"
#include "app/SmokeTest.h"
#include "capture/HostControl.h"
#include "core/AccountSignIn.h"
#include "core/AppLog.h"
#include "core/DomainError.h"
#include "core/HotKey.h"
#include "core/Keychain.h"
#include "core/Paths.h"
#include "core/ProviderProbe.h"
#include "core/ServerConfig.h"
#include "core/SessionStore.h"
#include "core/Supervisor.h"
#include "platform/linux/ClockWatch.h"
#include "platform/linux/dbus/DBusNotifications.h"
#include "platform/linux/dbus/Logind.h"

#include <QApplication>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>
#include <QWidget>

#include <qcoro/qcorotimer.h>

#include <syslog.h>

using namespace std::chrono_literals;
using Outcome = PipelineClient::Outcome;

namespace {

const QString kRecording = QStringLiteral("recording");

void systemLog(const QString &line)
{
    ::syslog(LOG_USER | LOG_NOTICE, "%s", line.toUtf8().constData());
}

bool keepRunningDialog(const AppModel::QuitQuestion &question)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Velko AI"));
    box.setIcon(QMessageBox::Warning);
    box.setText(question.message);
    box.setInformativeText(question.informative);
    QPushButton *keep = box.addButton(question.keepButton, QMessageBox::RejectRole);
    box.addButton(question.quitButton, QMessageBox::AcceptRole);
    box.setDefaultButton(keep);
    box.exec();
    return box.clickedButton() == keep;
}

// The locale's medium date: its long form without the weekday and with short month names.
QString mediumDate(const QDate &date, const QLocale &locale)
{
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("dddd[,.]?\\s*")));
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return locale.toString(date, format.trimmed());
}

} // namespace

AppModel &AppModel::shared()
{
    // Alive until the process ends: the desktop's callbacks may arrive up to the last moment.
    static AppModel *model = new AppModel;
    return *model;
}

AppModel::AppModel()
    : AppModel(Options())
{ }

AppModel::AppModel(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_supervisor(std::make_unique<Supervisor>())
    , m_client(new PipelineClient(this))
    , m_presenter(new NotificationPresenter(
          m_options.notifications ? m_options.notifications : new DBusNotifications, this))
    , m_logind(new Logind(m_options.systemBus, this))
    , m_manager(new QNetworkAccessManager(this))
{
    m_options.notifications = nullptr; // owned by the presenter now
    m_manager->setProxy(QNetworkProxy::NoProxy);
    m_onboarded = QSettings().value(QStringLiteral("onboarded")).toBool();
    askToKeepRunning = keepRunningDialog;
    permissionState = [](Permission permission) {
        return permission.state();
    };
    connect(m_presenter, &NotificationPresenter::clicked, this, &AppModel::onNotificationClicked);
    connect(m_logind, &Logind::inhibitFailed, this, [](const QString &reason) {
        AppLog::write(QStringLiteral("power: could not keep the computer awake — %1").arg(reason));
    });
}

AppModel::~AppModel() = default;

void AppModel::setHud(std::unique_ptr<RecordingHud> hud)
{
    m_hud = std::move(hud);
}

void AppModel::setCountdown(std::unique_ptr<Countdown> countdown)
{
    m_countdown = std::move(countdown);
}

void AppModel::setPageWebView(PageView *view)
{
    m_page = view;
    m_pageObject = dynamic_cast<QObject *>(view);
}

PageView *AppModel::pageWebView() const
{
    return m_pageObject ? m_page : nullptr;
}

void AppModel::launch()
{
    if (m_launched)
        return;
    m_launched = true;
    startHost();
    if (ServerConfig::adoptClientProviderSettings())
        AppLog::write(QStringLiteral(
            "server: provider settings moved from the client's settings into server.env"));
    m_supervisor->setExtraEnv(QStringLiteral("VELKO_CAPTURE"), captureBackend());
    m_supervisor->setExtraEnv(QStringLiteral("VELKO_CLOCK"),
                              clock24() ? QStringLiteral("24") : QStringLiteral("12"));

    if (QCoreApplication::arguments().contains(QStringLiteral("--smoke"))) {
        m_supervisor->start();
        SmokeTest::run(*this, 60s);
        return;
    }
    wire();
    if (m_launchedAtLogin)
        QTimer::singleShot(10s, this, [this] { m_launchedAtLogin = false; });
    pruneOldRecordings();
    if (!m_onboarded)
        return; // onboarding calls finishOnboarding
    m_supervisor->start();
    refreshAccount();
}

void AppModel::startHost()
{
    if (m_host)
        return;
    auto host = std::make_unique<HostControl>(Paths::controlSocket(), m_supervisor->token());
    try {
        host->start();
        m_host = std::move(host);
    } catch (const DomainError &error) {
        m_hostError = error.description();
        emit hostErrorChanged();
    }
}

void AppModel::wire()
{
    if (m_wired)
        return;
    m_wired = true;

    const auto onSupervisor = [this](const SupervisorPhase &phase) {
        if (phase.kind == SupervisorPhase::Running)
            m_client->connectToPipeline(phase.port, m_supervisor->token());
        else
            m_client->disconnectFromPipeline();
    };
    connect(m_supervisor.get(), &Supervisor::phaseChanged, this, onSupervisor);
    onSupervisor(m_supervisor->phase());

    connect(m_client, &PipelineClient::phaseChanged, this, &AppModel::onClientPhase);
    onClientPhase(m_client->phase());

    connect(m_client, &PipelineClient::outcomeChanged, this, [this] {
        if (const std::optional<Outcome> outcome = m_client->outcome()) {
            notify(*outcome);
            m_client->setOutcome(std::nullopt);
        }
    });
    connect(m_client, &PipelineClient::activeRunsChanged, this, &AppModel::runsChanged);
    runsChanged(m_client->activeRuns());
    connect(m_client, &PipelineClient::schedulesChanged, this, &AppModel::schedulesChanged);
    schedulesChanged(m_client->schedules());

    watchTheMac();
    m_hotKey = std::make_unique<HotKey>(Qt::Key_R,
                                        Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier,
                                        [self = QPointer(this)] {
                                            QTimer::singleShot(0, self, [self] {
                                                if (self)
                                                    self->toggleRecording();
                                            });
                                        });
    if (m_onboarded)
        requestNotifications();
}

void AppModel::onClientPhase(const QString &phase)
{
    if (phase == m_lastClientPhase)
        return;
    m_lastClientPhase = phase;
    if (phase != kRecording) {
        if (m_hud)
            m_hud->hide();
        if (m_countdown)
            m_countdown->cancel();
        return;
    }
    if (m_hud)
        m_hud->show(m_client, [self = QPointer(this)] {
            if (self)
                self->toggleRecording();
        });
    QTimer::singleShot(0, this, [this] {
        if (m_client->phase() == kRecording && m_client->starting() && m_countdown)
            m_countdown->run();
    });
}

void AppModel::runsChanged(int count)
{
    if (count < 0)
        return;
    if (count >= 1) {
        if (!m_awake) {
            m_logind->inhibitIdleSleep(QStringLiteral("A workflow is running"));
            m_awake = true;
        }
        return;
    }
    if (m_awake) {
        m_logind->releaseIdleSleep();
        m_awake = false;
    }
    if (m_installUpdate) {
        const std::function<void()> install = std::exchange(m_installUpdate, nullptr);
        m_quitting = true;
        install();
    }
}

void AppModel::schedulesChanged(const QList<PipelineClient::Schedule> &schedules)
{
    const bool someOn = std::any_of(schedules.cbegin(), schedules.cend(),
                                    [](const PipelineClient::Schedule &s) { return s.on; });
    QSettings settings;
    if (!someOn || settings.value(QStringLiteral("loginItemChosen")).toBool())
        return;
    // Once per user: a later choice in the settings stands.
    settings.setValue(QStringLiteral("loginItemChosen"), true);
    LoginItem::set(true);
}

void AppModel::watchTheMac()
{
    if (m_clock)
        return;
    connect(m_logind, &Logind::woke, this, [this] {
        QTimer::singleShot(m_options.wakeDelay, this, [this] { tick(QStringLiteral("wake")); });
    });
    connect(m_logind, &Logind::unlocked, this, [this] { tick(QStringLiteral("unlock")); });
    connect(m_logind, &Logind::poweringOff, this, [this] { m_quitting = true; });
    m_clock = new ClockWatch(m_options.zoneFile, this);
    connect(m_clock, &ClockWatch::clockChanged, this, [this] { tick(QStringLiteral("clock")); });
    connect(m_clock, &ClockWatch::timeZoneChanged, this, [this] { tick(QStringLiteral("clock")); });
}

void AppModel::tick(const QString &reason)
{
    m_client->json(QStringLiteral("/api/schedules/tick"), QJsonObject {{"reason", reason}}, 15s);
}

void AppModel::pauseAllSchedules(bool paused)
{
    m_client->json(QStringLiteral("/api/schedules/pause-all"), QJsonObject {{"paused", paused}},
                   15s);
}

QString AppModel::captureBackend()
{
    return QSettings().value(QStringLiteral("captureBackend")).toString() ==
            QLatin1String("screenpipe")
        ? QStringLiteral("screenpipe")
        : QStringLiteral("native");
}

bool AppModel::clock24()
{
    const QString format = QLocale().timeFormat(QLocale::ShortFormat);
    return !format.isEmpty() && !format.contains(QLatin1Char('a'), Qt::CaseInsensitive);
}

void AppModel::applyCaptureBackend()
{
    m_supervisor->setExtraEnv(QStringLiteral("VELKO_CAPTURE"), captureBackend());
    if (m_supervisor->phase().kind != SupervisorPhase::Running)
        return;
    m_supervisor->clearRestarts();
    m_supervisor->stop();
    m_supervisor->start();
}

void AppModel::pruneOldRecordings()
{
    bool isInteger = false;
    int days = QSettings().value(QStringLiteral("retentionDays")).toInt(&isInteger);
    // Zero or fewer days would delete every recording at each launch.
    if (!isInteger || days < 1)
        days = 30;
    const QStringList deleted = SessionStore(Paths::dataDir()).prune(days, std::nullopt);
    if (!deleted.isEmpty())
        systemLog(QStringLiteral("Velko AI: deleted %1 recording(s) older than %2 days")
                      .arg(deleted.size())
                      .arg(days));
}

void AppModel::requestNotifications()
{
    m_presenter->requestAuthorization();
}

void AppModel::finishOnboarding()
{
    QSettings().setValue(QStringLiteral("onboarded"), true);
    if (!m_onboarded) {
        m_onboarded = true;
        emit onboardedChanged(true);
    }
    requestNotifications();
    m_supervisor->start();
    refreshAccount();
}

QCoro::Task<> AppModel::refreshAccount()
{
    if (ServerConfig::mode() == ServerConfig::Mode::Builtin) {
        setAccount(std::nullopt, std::nullopt);
        co_return;
    }
    QPointer<AppModel> self(this);
    const std::optional<QJsonObject> account =
        co_await AccountSignIn::account(ServerConfig::remoteURL());
    if (!self)
        co_return;
    const auto text = [&account](const QString &name) -> std::optional<QString> {
        const QJsonValue value = account ? account->value(name) : QJsonValue();
        return value.isString() ? std::optional(value.toString()) : std::nullopt;
    };
    setAccount(text(QStringLiteral("email")), text(QStringLiteral("name")));
}

QCoro::Task<> AppModel::signIn(QString provider, AccountSignIn &signer)
{
    const QString server = ServerConfig::remoteURL();
    QPointer<AppModel> self(this);
    co_await signer.signIn(server, provider);
    const std::optional<QString> key = Keychain::get(AccountSignIn::keyAccount.toString());
    const ProviderProbe::Result probe = co_await ProviderProbe::remote(server, key);
    if (!self)
        co_return;
    if (!probe.ok)
        throw AccountSignIn::Failure::failed(
            QStringLiteral("Signed in, but the Velko AI server did not answer: ") + probe.detail);
    QSettings().setValue(QStringLiteral("serverMode"), QStringLiteral("remote"));
    if (m_supervisor->pid() != 0) {
        m_supervisor->clearRestarts();
        m_supervisor->stop();
        m_supervisor->start();
    }
    refreshAccount();
}

QCoro::Task<> AppModel::signOut(bool everywhere, bool deleteAccount)
{
    const QString server = ServerConfig::remoteURL();
    QPointer<AppModel> self(this);
    if (deleteAccount)
        co_await AccountSignIn::deleteAccount(server);
    else if (everywhere)
        co_await AccountSignIn::signOutEverywhere(server);
    else
        co_await AccountSignIn::signOut(server);
    if (!self)
        co_return;
    setAccount(std::nullopt, std::nullopt);
    m_supervisor->stop();
    QSettings().setValue(QStringLiteral("onboarded"), false);
    if (m_onboarded) {
        m_onboarded = false;
        emit onboardedChanged(false);
    }
    bringToFront();
}

void AppModel::setAccount(const std::optional<QString> &email, const std::optional<QString> &name)
{
    if (m_accountEmail != email) {
        m_accountEmail = email;
        emit accountEmailChanged();
    }
    if (m_accountName != name) {
        m_accountName = name;
        emit accountNameChanged();
    }
}

void AppModel::webAction(const QString &name)
{
    AppLog::write(QStringLiteral("web: %1").arg(name));
    if (name == QLatin1String("openSettings"))
        openSettings();
    else if (name == QLatin1String("signOut"))
        signOut(false, false);
    else
        AppLog::write(QStringLiteral("web: unknown action %1").arg(name));
}

void AppModel::openSettings(const std::optional<QString> &section)
{
    openPage({{QStringLiteral("page"), QStringLiteral("settings")},
              {QStringLiteral("section"), section.value_or(QString())}});
}

void AppModel::openWorkflow(const QString &id)
{
    openPage({{QStringLiteral("page"), QStringLiteral("workflow")}, {QStringLiteral("id"), id}});
}

void AppModel::openPage(const Page &page)
{
    bringToFront();
    if (mainWindowOpener)
        mainWindowOpener();
    m_pendingPage = page;
    flushPendingPage();
}

void AppModel::flushPendingPage()
{
    PageView *view = pageWebView();
    if (!m_pendingPage || !view || view->isLoading())
        return;
    QJsonObject map;
    for (auto it = m_pendingPage->cbegin(); it != m_pendingPage->cend(); ++it)
        map.insert(it.key(), it.value());
    m_pendingPage.reset();
    const QString json = QString::fromUtf8(QJsonDocument(map).toJson(QJsonDocument::Compact));
    view->evaluate(QStringLiteral("window.__velkoOpen = %1; "
                                  "window.dispatchEvent(new Event('velko-open'));")
                       .arg(json));
}

void AppModel::reopenAfterReload(const QString &section)
{
    const Page page {{QStringLiteral("page"), QStringLiteral("settings")},
                     {QStringLiteral("section"), section}};
    m_pendingPage = page;
    QTimer::singleShot(m_options.pageExpiry, this, [this, page] {
        if (m_pendingPage == page)
            m_pendingPage.reset();
    });
}

void AppModel::bringToFront()
{
    emit frontRequested();
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->isWindow()) {
            window->raise();
            window->activateWindow();
        }
    }
}

void AppModel::setLastCommandError(const std::optional<QString> &error)
{
    if (m_lastCommandError == error)
        return;
    m_lastCommandError = error;
    emit lastCommandErrorChanged();
}

void AppModel::setImportMessage(const std::optional<QString> &message)
{
    m_importMessage = message;
    emit importMessageChanged();
}

void AppModel::importFiles(const QStringList &paths)
{
    importNow(paths);
}

QCoro::Task<> AppModel::importNow(QStringList paths)
{
    QPointer<AppModel> self(this);
    bringToFront();
    // The pipeline may still be starting: wait up to 20 seconds for it.
    for (int check = 1; self->m_supervisor->phase().kind != SupervisorPhase::Running; ++check) {
        if (check == 100)
            break;
        co_await QCoro::sleepFor(200ms);
        if (!self)
            co_return;
    }
    const SupervisorPhase phase = self->m_supervisor->phase();
    if (phase.kind != SupervisorPhase::Running) {
        const QString message =
            QStringLiteral("Velko AI could not import: the pipeline is not running.");
        self->setImportMessage(message);
        self->notify(Outcome::failed(message));
        co_return;
    }
    const QString token = self->m_supervisor->token();
    for (const QString &path : std::as_const(paths)) {
        const Import::Result result =
            co_await Import::send(self->m_manager, phase.port, token, path);
        if (!self)
            co_return;
        self->setImportMessage(result.message);
        if (result.notify)
            self->notify(Outcome::failed(result.message));
    }
}

void AppModel::toggleRecording()
{
    if (m_client->phase() != kRecording) {
        // Only a start needs them: a stop always goes through.
        std::optional<QString> missing;
        if (permissionState(Permission::Screen) != Permission::State::Granted)
            missing = QStringLiteral("Screen & System Audio Recording");
        else if (permissionState(Permission::Accessibility) != Permission::State::Granted)
            missing = QStringLiteral("Accessibility");
        if (missing) {
            setLastCommandError(
                QStringLiteral("Allow %1 first — Settings → Permissions").arg(*missing));
            openSettings(QStringLiteral("permissions"));
            return;
        }
    }
    sendToggle();
}

QCoro::Task<> AppModel::sendToggle()
{
    QPointer<AppModel> self(this);
    // Decided when the task runs: two quick toggles each see the phase of their own moment.
    const bool stop = m_client->phase() == kRecording;
    const QString path =
        stop ? QStringLiteral("/api/record/stop") : QStringLiteral("/api/record/start");
    const QJsonObject body = stop ? QJsonObject() : QJsonObject {{"display", 1}};
    const std::optional<QString> error = co_await m_client->post(path, body);
    if (!self)
        co_return;
    self->setLastCommandError(error);
    if (error)
        self->notify(Outcome::failed(*error));
}

void AppModel::notify(const Outcome &outcome)
{
    m_presenter->notify(outcome);
}

void AppModel::onNotificationClicked(const QVariantMap &userInfo)
{
    bringToFront();
    if (mainWindowOpener)
        mainWindowOpener();
    if (userInfo.value(QStringLiteral("open")).toString() == QLatin1String("run")) {
        m_pendingPage = Page {{QStringLiteral("page"), QStringLiteral("run")}};
        flushPendingPage();
    }
}

QString AppModel::relativeWhen(const QDateTime &when, const QDateTime &now, const QLocale &locale)
{
    const QDateTime local = when.toLocalTime();
    const qint64 days = now.toLocalTime().date().daysTo(local.date());
    QString day;
    if (days == 0)
        day = QStringLiteral("today");
    else if (days == 1)
        day = QStringLiteral("tomorrow");
    else if (days == -1)
        day = QStringLiteral("yesterday");
    else
        day = mediumDate(local.date(), locale);
    return day + QStringLiteral(" at ") + locale.toString(local.time(), QLocale::ShortFormat);
}

std::optional<AppModel::QuitQuestion> AppModel::quitQuestion(const QDateTime &now) const
{
    if (m_quitting || !m_onboarded || m_supervisor->phase().kind != SupervisorPhase::Running)
        return std::nullopt;
    return quitQuestion(m_client->activeRuns(), m_client->schedules(), m_client->schedulesPaused(),
                        now, QLocale());
}

std::optional<AppModel::QuitQuestion>
AppModel::quitQuestion(int runs, const QList<PipelineClient::Schedule> &schedules, bool paused,
                       const QDateTime &now, const QLocale &locale)
{
    if (runs >= 1)
        return QuitQuestion {runs == 1 ? QStringLiteral("A workflow is running")
                                       : QStringLiteral("%1 workflows are running").arg(runs),
                             QStringLiteral("Quitting Velko AI stops it now."),
                             QStringLiteral("Keep Running"), QStringLiteral("Quit")};

    QList<PipelineClient::Schedule> scheduled;
    if (!paused) {
        for (const PipelineClient::Schedule &schedule : schedules) {
            if (schedule.on)
                scheduled.append(schedule);
        }
    }
    if (scheduled.isEmpty())
        return std::nullopt;
    QString informative = scheduled.size() == 1
        ? QStringLiteral("A workflow is")
        : QStringLiteral("%1 workflows are").arg(scheduled.size());
    informative += QStringLiteral(" scheduled. They can't run while Velko is closed");
    const PipelineClient::Schedule *earliest = nullptr;
    for (const PipelineClient::Schedule &schedule : std::as_const(scheduled)) {
        if (schedule.nextAt && (!earliest || *schedule.nextAt < *earliest->nextAt))
            earliest = &schedule;
    }
    if (earliest)
        informative += QStringLiteral(" — “%1” would miss %2.")
                           .arg(earliest->name, relativeWhen(*earliest->nextAt, now, locale));
    else
        informative += QLatin1Char('.');
    return QuitQuestion {QStringLiteral("Quit Velko AI?"), informative,
                         QStringLiteral("Keep It in the Menu Bar"), QStringLiteral("Quit Anyway")};
}

bool AppModel::shouldKeepRunning()
{
    const std::optional<QuitQuestion> question = quitQuestion(QDateTime::currentDateTime());
    if (!question)
        return false;
    bringToFront();
    if (!askToKeepRunning(*question))
        return false;
    // Nothing runs now: it stays in the tray with its windows closed.
    if (m_client->activeRuns() == 0 && qobject_cast<QApplication *>(QCoreApplication::instance())) {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->isVisible() && window->isWindow())
                window->close();
        }
    }
    return true;
}

bool AppModel::waitForRuns(std::function<void()> then)
{
    const int runs = m_client->activeRuns();
    if (runs < 1) {
        m_quitting = true;
        return false;
    }
    AppLog::write(QStringLiteral("update: waits for %1 run(s) to end").arg(runs));
    m_installUpdate = std::move(then);
    return true;
}

bool AppModel::requestQuit()
{
    if (shouldKeepRunning())
        return false;
    m_quitting = true;
    const QList<pid_t> survivors = shutDown();
    if (!survivors.isEmpty()) {
        QStringList ids;
        for (const pid_t pid : survivors)
            ids << QString::number(pid);
        systemLog(QStringLiteral("Velko AI: processes still alive after SIGKILL: [%1]")
                      .arg(ids.join(QStringLiteral(", "))));
    }
    AppLog::flush();
    QCoreApplication::quit();
    return true;
}

QList<pid_t> AppModel::shutDown()
{
    if (std::exchange(m_shutDown, true))
        return {};
    const QList<pid_t> survivors = m_supervisor->stop();
    if (m_host)
        m_host->stop();
    return survivors;
}
