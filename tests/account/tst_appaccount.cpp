// The application model's account flows against the development account service.
#include "DevAccountService.h"
#include "FakeBrowser.h"

#include "app/AppModel.h"
#include "core/AccountSignIn.h"
#include "core/Keychain.h"

#include <QDesktopServices>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

class TestAppAccount : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    FakeBrowser browser;
    std::unique_ptr<DevAccountService> service;

    static AppModel::Options options()
    {
        AppModel::Options options;
        options.systemBus = QDBusConnection::sessionBus();
        return options;
    }

    // The failure's text, or nothing when the sign-in succeeded.
    static QCoro::Task<std::optional<QString>> signIn(AppModel &model, AccountSignIn &signer)
    {
        try {
            co_await model.signIn(QStringLiteral("dev"), signer);
        } catch (const AccountSignIn::Failure &failure) {
            co_return failure.description();
        }
        co_return std::nullopt;
    }

    QString key() const { return Keychain::get(AccountSignIn::keyAccount.toString()).value_or(""); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
        qputenv("XDG_STATE_HOME", home.filePath("state").toUtf8());
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI"));
        QCoreApplication::setApplicationName(QStringLiteral("Velko AI"));
        service = std::make_unique<DevAccountService>();
        QVERIFY(service->isRunning());
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "openUrl");
    }
    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        service.reset();
    }
    void init()
    {
        service->reset();
        QSettings settings;
        settings.clear();
        settings.setValue(QStringLiteral("serverURL"), service->url());
        Keychain::remove(AccountSignIn::keyAccount.toString());
    }

    void signIn_data()
    {
        QTest::addColumn<QByteArray>("behaviour");
        QTest::addColumn<QString>("failure");
        QTest::newRow("signed in, the model answers") << QByteArray("{}") << QString();
        QTest::newRow("the model does not answer")
            << QByteArray(R"({"model_down":true})")
            << "Signed in, but the Velko AI server did not answer: ";
        QTest::newRow("the sign-in's own failure")
            << QByteArray(R"({"error":"blocked"})") << "This account is blocked.";
    }
    void signIn()
    {
        QFETCH(QByteArray, behaviour);
        QFETCH(QString, failure);
        service->next(QJsonDocument::fromJson(behaviour).object());
        AppModel model(options());
        QSignalSpy email(&model, &AppModel::accountEmailChanged);
        AccountSignIn signer;
        const std::optional<QString> got = QCoro::waitFor(signIn(model, signer));
        if (failure.isEmpty()) {
            QCOMPARE(got, std::nullopt);
            QCOMPARE(QSettings().value("serverMode").toString(), QString("remote"));
            QTRY_COMPARE(email.size(), 1);
            QCOMPARE(model.accountEmail(), std::optional<QString>("dev@velko.test"));
            QCOMPARE(model.accountName(), std::optional<QString>("Dev User"));
        } else {
            QVERIFY(got);
            QVERIFY2(got->startsWith(failure), qPrintable(*got));
            QVERIFY(!QSettings().contains("serverMode"));
            QCOMPARE(model.accountEmail(), std::nullopt);
        }
    }

    void refreshAccount_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("known");
        QTest::newRow("remote, signed in") << "remote" << true << true;
        QTest::newRow("remote, no key") << "remote" << false << false;
        QTest::newRow("built-in, signed in") << "builtin" << true << false;
    }
    void refreshAccount()
    {
        QFETCH(QString, mode);
        QFETCH(bool, signedIn);
        QFETCH(bool, known);
        AppModel model(options());
        if (signedIn) {
            AccountSignIn signer;
            QCOMPARE(QCoro::waitFor(signIn(model, signer)), std::nullopt);
            QTRY_VERIFY(model.accountEmail());
        }
        QSettings().setValue("serverMode", mode);
        const qsizetype before = service->requests().size();
        QCoro::waitFor(model.refreshAccount());
        QCOMPARE(model.accountEmail().has_value(), known);
        QCOMPARE(model.accountName().has_value(), known);
        // Only a signed-in remote account is asked for.
        QCOMPARE(service->requests().size() - before, known ? 1 : 0);
    }

    void signOut_data()
    {
        QTest::addColumn<bool>("everywhere");
        QTest::addColumn<bool>("deleteAccount");
        QTest::addColumn<QString>("path");
        QTest::newRow("this computer") << false << false << "/v1/me/keys/revoke";
        QTest::newRow("everywhere") << true << false << "/v1/me/signout-all";
        QTest::newRow("delete account wins over everywhere") << true << true << "/v1/me/delete";
        QTest::newRow("delete account") << false << true << "/v1/me/delete";
    }
    void signOut()
    {
        QFETCH(bool, everywhere);
        QFETCH(bool, deleteAccount);
        QFETCH(QString, path);
        AppModel model(options());
        model.finishOnboarding();
        QVERIFY(model.onboarded());
        AccountSignIn signer;
        QCOMPARE(QCoro::waitFor(signIn(model, signer)), std::nullopt);
        QTRY_VERIFY(model.accountEmail());
        QSignalSpy onboarded(&model, &AppModel::onboardedChanged);
        QSignalSpy front(&model, &AppModel::frontRequested);

        QCoro::waitFor(model.signOut(everywhere, deleteAccount));
        QStringList paths;
        for (const QJsonValue &request : service->requests())
            paths << request["path"].toString();
        QVERIFY2(paths.endsWith(path), qPrintable(paths.join(' ')));
        QCOMPARE(paths.count(path), 1);
        QVERIFY(key().isEmpty());
        QVERIFY(!QSettings().contains(AccountSignIn::keyIdSetting));
        QCOMPARE(model.accountEmail(), std::nullopt);
        QCOMPARE(model.accountName(), std::nullopt);
        QVERIFY(!model.onboarded());
        QCOMPARE(onboarded.size(), 1);
        QCOMPARE(QSettings().value("onboarded").toBool(), false);
        QCOMPARE(front.size(), 1);
    }

    void pageAsksToSignOut()
    {
        AppModel model(options());
        AccountSignIn signer;
        QCOMPARE(QCoro::waitFor(signIn(model, signer)), std::nullopt);
        const QString before = key();
        model.webAction(QStringLiteral("signOut"));
        QTRY_VERIFY(key().isEmpty());
        const QJsonObject revoke = service->requests().last().toObject();
        QCOMPARE(revoke["path"].toString(), QString("/v1/me/keys/revoke"));
        QCOMPARE(revoke["headers"]["authorization"].toString(), "Bearer " + before);
    }
};

QTEST_MAIN(TestAppAccount)
#include "tst_appaccount.moc"
