#pragma once

#include "core/Countdown.h"
#include "core/PageView.h"
#include "core/Permission.h"
#include "core/PipelineClient.h"
#include "core/RecordingHud.h"

#include <QDBusConnection>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <sys/types.h>

class AccountSignIn;
class ClockWatch;
class QNetworkAccessManager;
class HostControl;
class HotKey;
class Logind;
class NotificationPresenter;
class Notifications;
class Supervisor;

// The application's central object: owns the supervisor, the pipeline client and the control
// socket, runs the launch sequence, turns the pipeline's state into the HUD, notifications, the
// sleep inhibitor and the login item, tells the pipeline's scheduler about wake, unlock and clock
// changes, carries navigation to the pipeline's page, and quits cleanly. Main thread only.
class AppModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool onboarded READ onboarded NOTIFY onboardedChanged)
    Q_PROPERTY(std::optional<QString> hostError READ hostError NOTIFY hostErrorChanged)
    Q_PROPERTY(std::optional<QString> lastCommandError READ lastCommandError NOTIFY
                   lastCommandErrorChanged)
    Q_PROPERTY(std::optional<QString> importMessage READ importMessage NOTIFY importMessageChanged)
    Q_PROPERTY(std::optional<QString> accountEmail READ accountEmail NOTIFY accountEmailChanged)
    Q_PROPERTY(std::optional<QString> accountName READ accountName NOTIFY accountNameChanged)

public:
    using Page = QMap<QString, QString>;

    // What the quit dialog asks; the first button keeps Velko AI running.
    struct QuitQuestion
    {
        QString message;
        QString informative;
        QString keepButton;
        QString quitButton;
        bool operator==(const QuitQuestion &) const = default;
    };

    // The services and figures the model runs with; tests replace them.
    struct Options
    {
        QDBusConnection systemBus = QDBusConnection::systemBus(); // logind
        Notifications *notifications = nullptr; // default: the desktop's notification server
        std::chrono::milliseconds wakeDelay = std::chrono::seconds(15);
        std::chrono::milliseconds pageExpiry = std::chrono::seconds(20);
        QString zoneFile = QStringLiteral("/etc/localtime");
    };

    static AppModel &shared();

    AppModel();
    explicit AppModel(Options options, QObject *parent = nullptr);
    ~AppModel() override;

    Supervisor &supervisor() { return *m_supervisor; }
    PipelineClient &client() { return *m_client; }
    HostControl *host() { return m_host.get(); }
    Logind &logind() { return *m_logind; }

    bool onboarded() const { return m_onboarded; }
    std::optional<QString> hostError() const { return m_hostError; }
    std::optional<QString> lastCommandError() const { return m_lastCommandError; }
    std::optional<QString> importMessage() const { return m_importMessage; }
    std::optional<QString> accountEmail() const { return m_accountEmail; }
    std::optional<QString> accountName() const { return m_accountName; }
    bool launched() const { return m_launched; }
    bool quitting() const { return m_quitting; }
    bool awake() const { return m_awake; }
    bool launchedAtLogin() const { return m_launchedAtLogin; }
    void setLaunchedAtLogin(bool atLogin) { m_launchedAtLogin = atLogin; }
    std::optional<Page> pendingPage() const { return m_pendingPage; }
    void setPendingPage(const std::optional<Page> &page) { m_pendingPage = page; }

    // Hooks of the windows, installed by them.
    void setHud(std::unique_ptr<RecordingHud> hud);
    void setCountdown(std::unique_ptr<Countdown> countdown);
    std::function<void()> mainWindowOpener;
    // The view showing the pipeline's page, held weakly; it must be a QObject.
    void setPageWebView(PageView *view);
    PageView *pageWebView() const;
    // Asks the user whether to keep running; true for the first button. A modal dialog.
    std::function<bool(const QuitQuestion &)> askToKeepRunning;
    // The permission states recording needs.
    std::function<Permission::State(Permission)> permissionState;

    // The launch sequence; only the first call acts.
    void launch();
    void startHost();
    void wire();
    void watchTheMac();
    void tick(const QString &reason);
    void runsChanged(int count);
    void schedulesChanged(const QList<PipelineClient::Schedule> &schedules);
    void pruneOldRecordings();
    void requestNotifications();
    void finishOnboarding();

    // "screenpipe" or "native", from the setting "captureBackend".
    static QString captureBackend();
    // Whether the locale shows a 24-hour clock.
    static bool clock24();
    void applyCaptureBackend();
    void pauseAllSchedules(bool paused);

    // The account flows of onboarding and the page, against the address in "serverURL".
    // refreshAccount reads the signed-in account into accountEmail and accountName.
    QCoro::Task<> refreshAccount();
    // Signs in with `signer` and checks that the remote model answers with the new key; then the
    // pipeline uses the account. Throws AccountSignIn::Failure.
    QCoro::Task<> signIn(QString provider, AccountSignIn &signer);
    // Signs out (this computer, everywhere, or by deleting the account) and returns to
    // onboarding.
    QCoro::Task<> signOut(bool everywhere, bool deleteAccount);

    void webAction(const QString &name);
    void openSettings(const std::optional<QString> &section = std::nullopt);
    void openWorkflow(const QString &id);
    void reopenAfterReload(const QString &section);
    void flushPendingPage();

    void importFiles(const QStringList &paths);
    QCoro::Task<> importNow(QStringList paths);

    void toggleRecording();
    void notify(const PipelineClient::Outcome &outcome);

    // The question quitting asks now, if any (none: quit without asking).
    std::optional<QuitQuestion> quitQuestion(const QDateTime &now) const;
    // The question for these runs and schedules.
    static std::optional<QuitQuestion>
    quitQuestion(int runs, const QList<PipelineClient::Schedule> &schedules, bool paused,
                 const QDateTime &now, const QLocale &locale);
    // Asks when quitting would stop workflows: true cancels the quit.
    bool shouldKeepRunning();
    // For an update: true when it must wait for runs to end, then `then` runs.
    bool waitForRuns(std::function<void()> then);
    // A request to quit (the menu, the desktop, SIGTERM): asks when needed, then stops every
    // child and leaves the event loop. False when the user kept Velko AI running.
    bool requestQuit();
    // Stops the pipeline and the control socket (once); returns the processes that survived.
    QList<pid_t> shutDown();
    void setQuitting() { m_quitting = true; }

    // "today at 9:00 AM", "tomorrow at …", else the date and the time in the locale's styles.
    static QString relativeWhen(const QDateTime &when, const QDateTime &now, const QLocale &locale);

signals:
    void onboardedChanged(bool onboarded);
    void hostErrorChanged();
    void lastCommandErrorChanged();
    void importMessageChanged();
    void accountEmailChanged();
    void accountNameChanged();
    // The application should come to the front (its windows, if any).
    void frontRequested();

private:
    void bringToFront();
    void setLastCommandError(const std::optional<QString> &error);
    void setImportMessage(const std::optional<QString> &message);
    void setAccount(const std::optional<QString> &email, const std::optional<QString> &name);
    void onClientPhase(const QString &phase);
    void onNotificationClicked(const QVariantMap &userInfo);
    void openPage(const Page &page);
    QCoro::Task<> sendToggle();

    Options m_options;
    std::unique_ptr<Supervisor> m_supervisor;
    PipelineClient *m_client;
    std::unique_ptr<HostControl> m_host;
    std::unique_ptr<RecordingHud> m_hud;
    std::unique_ptr<Countdown> m_countdown;
    std::unique_ptr<HotKey> m_hotKey;
    NotificationPresenter *m_presenter;
    Logind *m_logind;
    ClockWatch *m_clock = nullptr;
    QNetworkAccessManager *m_manager;

    bool m_onboarded = false;
    std::optional<QString> m_hostError;
    std::optional<QString> m_lastCommandError;
    std::optional<QString> m_importMessage;
    std::optional<QString> m_accountEmail;
    std::optional<QString> m_accountName;
    bool m_launched = false;
    bool m_launchedAtLogin = false;
    bool m_quitting = false;
    bool m_wired = false;
    bool m_shutDown = false;
    bool m_awake = false;
    std::function<void()> m_installUpdate;
    QPointer<QObject> m_pageObject;
    PageView *m_page = nullptr;
    std::optional<Page> m_pendingPage;
    QString m_lastClientPhase;
};
