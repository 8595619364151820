// Sign-in the way the user does it: the start page opens in the default browser (here a script
// named by BROWSER that loads the page and follows its redirect), the desktop runs the handler of
// vuvuvuv: links, a second instance hands the link to the running one, and the running one
// finishes the sign-in.
#include "DevAccountService.h"

#include "app/DesktopEntry.h"
#include "app/SingleInstance.h"
#include "core/AccountSignIn.h"
#include "core/Keychain.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

class TestBrowserSignIn : public QObject
{
    Q_OBJECT

    std::unique_ptr<DevAccountService> service;
    std::unique_ptr<SingleInstance> first;

    // What the desktop runs for a vuvuvuv: link or a file opened with Velko AI.
    static QString laterInstance() { return QCoreApplication::applicationDirPath() + "/velko"; }

    static QCoro::Task<QString> signIn(AccountSignIn &signer, QString server)
    {
        try {
            co_await signer.signIn(server, QStringLiteral("dev"));
        } catch (const AccountSignIn::Failure &failure) {
            co_return failure.description();
        }
        co_return QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI"));
        QCoreApplication::setApplicationName(QStringLiteral("Velko AI"));
        service = std::make_unique<DevAccountService>();
        QVERIFY(service->isRunning());
        qputenv("BROWSER", VELKO_FIXTURES_DIR "/fake-browser");

        QFile source(QStringLiteral(VELKO_SOURCE_DIR "/resources/velko-ai.desktop"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QString entry =
            DesktopEntry::withExecutable(QString::fromUtf8(source.readAll()), laterInstance());
        QVERIFY(QDir().mkpath(QFileInfo(DesktopEntry::userEntryPath()).path()));
        QFile target(DesktopEntry::userEntryPath());
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write(entry.toUtf8());
        target.close();
        QCOMPARE(QProcess::execute(QStringLiteral("xdg-mime"),
                                   {"default", "velko-ai.desktop", "x-scheme-handler/vuvuvuv"}),
                 0);

        first = std::make_unique<SingleInstance>();
        QVERIFY(first->claim({}));
        QVERIFY(first->isListening());
    }
    void cleanupTestCase()
    {
        first.reset();
        service.reset();
    }

    void signInThroughTheBrowser()
    {
        Keychain::remove(AccountSignIn::keyAccount.toString());
        AccountSignIn signer;
        // A broken chain fails here instead of waiting the full ten minutes.
        signer.session()->setTimeLimit(std::chrono::seconds(30));
        const QString failure = QCoro::waitFor(signIn(signer, service->url()));
        QCOMPARE(failure, QString());

        const std::optional<QString> key = Keychain::get(AccountSignIn::keyAccount.toString());
        QVERIFY(key && key->startsWith(QLatin1StringView("vlk_")));
        QCOMPARE(QSettings().value(AccountSignIn::keyIdSetting).toString(), QString("key_1"));
        const auto account = QCoro::waitFor(AccountSignIn::account(service->url()));
        QVERIFY(account);
        QCOMPARE(account->value("email").toString(), QString("dev@velko.test"));

        QCoro::waitFor(AccountSignIn::signOut(service->url()));
        const QJsonObject revoke = service->requests().last().toObject();
        QCOMPARE(revoke["path"].toString(), QString("/v1/me/keys/revoke"));
        QCOMPARE(revoke["body"].toString(), QString(R"({"id":"key_1"})"));
        QCOMPARE(revoke["headers"]["authorization"].toString(), "Bearer " + *key);
        QVERIFY(!Keychain::get(AccountSignIn::keyAccount.toString()));
        QVERIFY(!QSettings().contains(AccountSignIn::keyIdSetting));
    }

    void laterInstanceHandsAFileOver()
    {
        QTemporaryDir dir;
        QFile flow(dir.filePath(QStringLiteral("flow.json")));
        QVERIFY(flow.open(QIODevice::WriteOnly));
        flow.write("{}");
        flow.close();
        QSignalSpy opened(first.get(), &SingleInstance::filesOpened);
        QProcess later;
        later.setWorkingDirectory(dir.path());
        later.start(laterInstance(), {QStringLiteral("flow.json")});
        QVERIFY(later.waitForStarted(5000));
        QTRY_COMPARE_WITH_TIMEOUT(later.state(), QProcess::NotRunning, 15000);
        QCOMPARE(later.exitStatus(), QProcess::NormalExit);
        QCOMPARE(later.exitCode(), 0);
        QTRY_COMPARE(opened.size(), 1);
        QCOMPARE(opened[0][0].value<QList<QUrl>>(), {QUrl::fromLocalFile(flow.fileName())});
    }
};

QTEST_MAIN(TestBrowserSignIn)
#include "tst_browsersignin.moc"
