#include "DevAccountService.h"
#include "FakeBrowser.h"

#include "core/AccountSignIn.h"
#include "core/Keychain.h"
#include "core/ProviderProbe.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QSettings>
#include <QTcpServer>
#include <QUrlQuery>

#include <QCoro/QCoroTask>

struct Outcome
{
    std::optional<AccountSignIn::Account> account;
    std::optional<AccountSignIn::Failure> failure;
};

class TestAccountSignIn : public QObject
{
    Q_OBJECT

    FakeBrowser browser;
    std::unique_ptr<DevAccountService> service;

    template<typename T>
    static T wait(QCoro::Task<T> task)
    {
        return QCoro::waitFor(std::move(task));
    }

    static QCoro::Task<Outcome> signIn(AccountSignIn &signer, QString server, QString provider)
    {
        Outcome outcome;
        try {
            outcome.account = co_await signer.signIn(server, provider);
        } catch (const AccountSignIn::Failure &failure) {
            outcome.failure = failure;
        }
        co_return outcome;
    }

    static QString unusedPort()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        return QString::number(server.serverPort());
    }

    static void store(const QString &key, const QString &keyId)
    {
        QCOMPARE(Keychain::set(AccountSignIn::keyAccount.toString(), key), Keychain::Status::Ok);
        QSettings settings;
        if (keyId.isEmpty())
            settings.remove(AccountSignIn::keyIdSetting);
        else
            settings.setValue(AccountSignIn::keyIdSetting, keyId);
    }
    static QString storedKeyId()
    {
        return QSettings().value(AccountSignIn::keyIdSetting).toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
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
        browser.follow = true;
        browser.opened.clear();
        Keychain::remove(AccountSignIn::keyAccount.toString());
        QSettings().remove(AccountSignIn::keyIdSetting);
    }

    void baseAddress_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("base");
        QTest::newRow("plain") << "https://a.test"
                               << "https://a.test";
        QTest::newRow("spaces, tabs and several slashes") << " \thttps://a.test/api/// \t"
                                                          << "https://a.test/api";
        QTest::newRow("slash between spaces") << "https://a.test/ /"
                                              << "https://a.test/ ";
        QTest::newRow("only slashes") << "///"
                                      << "";
    }
    void baseAddress()
    {
        QFETCH(QString, server);
        QFETCH(QString, base);
        QCOMPARE(AccountSignIn::baseAddress(server), base);
    }

    void pkce_data()
    {
        QTest::addColumn<QString>("verifier");
        QTest::addColumn<QString>("challenge");
        QTest::newRow("ascii") << "abc"
                               << "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0";
        QTest::newRow("UTF-8") << QString::fromUtf8("é")
                               << "SplVfkAzw1Od4utlRyAXytX5VX96BiWgnxw_biumnEw";
    }
    void pkce()
    {
        QFETCH(QString, verifier);
        QFETCH(QString, challenge);
        QCOMPARE(AccountSignIn::challenge(verifier), challenge);
    }

    void random()
    {
        const QRegularExpression urlSafe(QStringLiteral("^[A-Za-z0-9_-]*$"));
        QCOMPARE(AccountSignIn::random(48).size(), 64);
        QCOMPARE(AccountSignIn::random(24).size(), 32);
        QCOMPARE(AccountSignIn::random(1).size(), 2);
        QSet<QString> seen;
        for (int i = 0; i < 200; ++i) {
            const QString value = AccountSignIn::random(24);
            QVERIFY2(urlSafe.match(value).hasMatch(), qPrintable(value));
            seen.insert(value);
        }
        QCOMPARE(seen.size(), 200);
    }

    // The whole sign-in against the development service, through a base address written
    // carelessly: the request addresses have exactly one slash before "/auth/".
    void signInStoresTheKey()
    {
        const QString server = "  " + service->url() + "///\t";
        AccountSignIn signer;
        const Outcome outcome = wait(signIn(signer, server, QStringLiteral("dev")));
        QVERIFY2(!outcome.failure,
                 qPrintable(outcome.failure ? outcome.failure->description() : QString()));
        QCOMPARE(outcome.account->email, std::optional<QString>("dev@velko.test"));
        QCOMPARE(outcome.account->name, std::optional<QString>("Dev User"));
        QCOMPARE(outcome.account->status, std::optional<QString>("active"));
        const std::optional<QString> key = AccountSignIn::storedKey();
        QVERIFY(key && key->startsWith(QLatin1StringView("vlk_")));
        QCOMPARE(storedKeyId(), QString("key_1"));

        const QJsonArray requests = service->requests();
        QCOMPARE(requests.size(), 2);
        const QJsonObject start = requests[0].toObject();
        QCOMPARE(start["path"].toString(), QString("/auth/dev/start"));
        QStringList names;
        QMap<QString, QString> query;
        for (const QJsonValue &item : start["query"].toArray()) {
            names << item[0].toString();
            query[item[0].toString()] = item[1].toString();
        }
        QCOMPARE(names, QStringList({"platform", "code_challenge", "state", "label"}));
        QCOMPARE(query["platform"], QString("mac"));
        QCOMPARE(query["state"].size(), 32);
        QCOMPARE(query["label"], AccountSignIn::label());
        const QJsonObject token = requests[1].toObject();
        QCOMPARE(token["path"].toString(), QString("/auth/app/token"));
        QCOMPARE(token["headers"]["content-type"].toString(), QString("application/json"));
        QVERIFY(!token["headers"].toObject().contains("authorization"));
        const QJsonObject body =
            QJsonDocument::fromJson(token["body"].toString().toUtf8()).object();
        QCOMPARE(body.keys(), QStringList({"code", "code_verifier", "label"}));
        QCOMPARE(body["code_verifier"].toString().size(), 64);
        QCOMPARE(AccountSignIn::challenge(body["code_verifier"].toString()),
                 query["code_challenge"]);
        QCOMPARE(body["label"].toString(), AccountSignIn::label());

        // The key reads the account back.
        const auto account = wait(AccountSignIn::account(server));
        QVERIFY(account);
        QCOMPARE(account->value("email").toString(), QString("dev@velko.test"));
        QCOMPARE(service->requests().last()["headers"]["authorization"].toString(),
                 "Bearer " + *key);
    }

    // After sign-in the pipeline's model client reaches the service's model with the key.
    void modelAnswersWithTheKey_data()
    {
        QTest::addColumn<bool>("down");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<bool>("ok");
        QTest::newRow("signed in") << false << true << true;
        QTest::newRow("model down") << true << true << false;
        QTest::newRow("no key") << false << false << false;
    }
    void modelAnswersWithTheKey()
    {
        QFETCH(bool, down);
        QFETCH(bool, withKey);
        QFETCH(bool, ok);
        AccountSignIn signer;
        QVERIFY(!wait(signIn(signer, service->url(), QStringLiteral("dev"))).failure);
        service->next(QJsonObject {{"model_down", down}});
        const auto result = wait(ProviderProbe::remote(
            service->url(), withKey ? AccountSignIn::storedKey() : std::nullopt));
        QCOMPARE(result.ok, ok);
        if (ok)
            QCOMPARE(result.detail, QString("velko-dev-echo"));
        else
            QVERIFY(!result.detail.isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("behaviour");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("description");
        const int refused = int(AccountSignIn::Failure::Kind::Refused);
        const int failed = int(AccountSignIn::Failure::Kind::Failed);
        const int cancelled = int(AccountSignIn::Failure::Kind::Cancelled);
        const QString otherRequest = "the sign-in came back for another request — try again";
        QTest::newRow("state differs, code valid")
            << QByteArray(R"({"state":"not-the-one-sent"})") << "" << failed << otherRequest;
        QTest::newRow("state missing")
            << QByteArray(R"({"omit":["state"]})") << "" << failed << otherRequest;
        QTest::newRow("error cancelled")
            << QByteArray(R"({"error":"cancelled"})") << "" << refused << "Sign-in was cancelled.";
        QTest::newRow("error expired") << QByteArray(R"({"error":"expired"})") << "" << refused
                                       << "The sign-in took too long — try again.";
        QTest::newRow("error blocked")
            << QByteArray(R"({"error":"blocked"})") << "" << refused << "This account is blocked.";
        QTest::newRow("error other") << QByteArray(R"({"error":"server_down"})") << "" << refused
                                     << "Sign-in failed — try again.";
        QTest::newRow("no code") << QByteArray(R"({"omit":["code"]})") << "" << failed
                                 << "no sign-in code came back — try again";
        QTest::newRow("key without the prefix")
            << QByteArray(R"({"key":"abc_123"})") << "" << failed
            << "the server did not give this Mac a key";
        QTest::newRow("exchange refused with a message")
            << QByteArray(R"({"token_status":403,"token_error":"Not on the list."})") << ""
            << failed << "Not on the list.";
        QTest::newRow("exchange refused without a message")
            << QByteArray(R"({"token_status":500,"token_error":null})") << "" << failed
            << "the server did not give this Mac a key";
        QTest::newRow("window closed")
            << QByteArray("{}") << "cancel" << cancelled << "Sign-in was cancelled.";
        QTest::newRow("time limit")
            << QByteArray("{}") << "wait" << failed << "sign-in did not finish";
        QTest::newRow("not a URL")
            << QByteArray("{}") << "not a URL" << failed << "the server's address is not a URL";
    }
    // A failed sign-in says why and leaves the key stored before untouched.
    void failures()
    {
        QFETCH(QByteArray, behaviour);
        QFETCH(QString, how);
        QFETCH(int, kind);
        QFETCH(QString, description);
        store(QStringLiteral("vlk_earlier"), QStringLiteral("key_earlier"));
        service->next(QJsonDocument::fromJson(behaviour).object());
        browser.follow = how.isEmpty();
        AccountSignIn signer;
        signer.session()->setTimeLimit(std::chrono::milliseconds(200));
        const QString server = how == u"not a URL" ? QStringLiteral("not a URL") : service->url();
        auto task = signIn(signer, server, QStringLiteral("dev"));
        if (how == u"cancel") {
            QVERIFY(signer.session()->isWaiting());
            signer.session()->cancel();
        }
        const Outcome outcome = wait(std::move(task));
        QVERIFY(!outcome.account);
        QVERIFY(outcome.failure);
        QCOMPARE(int(outcome.failure->kind()), kind);
        QCOMPARE(outcome.failure->description(), description);
        QCOMPARE(QString::fromUtf8(outcome.failure->what()), description);
        QCOMPARE(AccountSignIn::storedKey(), std::optional<QString>("vlk_earlier"));
        QCOMPARE(storedKeyId(), QString("key_earlier"));
    }

    void exchangeWithoutAnswer()
    {
        // A base address where nothing listens: the browser part is skipped by delivering the
        // callback by hand, so only the exchange meets the closed port.
        const QString server = "http://127.0.0.1:" + unusedPort();
        browser.follow = false;
        AccountSignIn signer;
        auto task = signIn(signer, server, QStringLiteral("dev"));
        QCOMPARE(browser.opened.size(), 1);
        const QString state = QUrlQuery(browser.opened[0]).queryItemValue("state");
        QVERIFY(WebAuthSession::deliver(QUrl("vuvuvuv://auth?state=" + state + "&code=c")));
        const Outcome outcome = wait(std::move(task));
        QVERIFY(outcome.failure);
        QCOMPARE(int(outcome.failure->kind()), int(AccountSignIn::Failure::Kind::Failed));
        QVERIFY(!outcome.failure->description().isEmpty());
        QVERIFY(!AccountSignIn::storedKey());
    }

    void aNewSignInCancelsTheRunningOne()
    {
        browser.follow = false;
        AccountSignIn signer;
        auto first = signIn(signer, service->url(), QStringLiteral("dev"));
        browser.follow = true;
        auto second = signIn(signer, service->url(), QStringLiteral("dev"));
        const Outcome one = wait(std::move(first));
        QVERIFY(one.failure);
        QCOMPARE(int(one.failure->kind()), int(AccountSignIn::Failure::Kind::Cancelled));
        const Outcome two = wait(std::move(second));
        QVERIFY(!two.failure);
        QVERIFY(AccountSignIn::storedKey());
    }

    void providers_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("expected");
        const QStringList google {"google:Google"};
        QTest::newRow("the service's list")
            << "" << QByteArray() << QStringList {"dev:Development account"};
        QTest::newRow("entries without text id and label skipped, order kept")
            << ""
            << QByteArray(R"([{"id":"b","label":"B"},{"id":1,"label":"X"},{"id":"c"},)"
                          R"("junk",{"id":"a","label":"A","extra":true}])")
            << QStringList {"b:B", "a:A"};
        QTest::newRow("empty list") << "" << QByteArray("[]") << google;
        QTest::newRow("not a list") << "" << QByteArray(R"({"id":"a","label":"A"})") << google;
        QTest::newRow("nothing listens")
            << "http://127.0.0.1:" + unusedPort() << QByteArray() << google;
        QTest::newRow("not a URL") << "no address" << QByteArray() << google;
    }
    void providers()
    {
        QFETCH(QString, server);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, expected);
        if (!answer.isEmpty()) {
            QJsonObject behaviour;
            behaviour["providers"] = QJsonDocument::fromJson("[" + answer + "]").array()[0];
            service->next(behaviour);
        }
        QStringList got;
        for (const auto &provider :
             wait(AccountSignIn::providers(server.isEmpty() ? service->url() : server)))
            got << provider.id + ':' + provider.label;
        QCOMPARE(got, expected);
    }

    void account_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("sent");
        QTest::newRow("no key") << QString() << false;
        QTest::newRow("key without the prefix") << "abc_1" << false;
        QTest::newRow("key the service does not know") << "vlk_unknown" << true;
    }
    void account()
    {
        QFETCH(QString, key);
        QFETCH(bool, sent);
        if (!key.isEmpty())
            store(key, QString());
        QVERIFY(!wait(AccountSignIn::account(service->url())));
        QCOMPARE(service->requests().size(), sent ? 1 : 0);
    }

    void signOut_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("keyId");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("this computer")
            << "signOut" << true << true << "/v1/me/keys/revoke" << QByteArray(R"({"id":"key_1"})");
        QTest::newRow("this computer without key id")
            << "signOut" << true << false << "" << QByteArray();
        QTest::newRow("everywhere")
            << "signOutEverywhere" << true << true << "/v1/me/signout-all" << QByteArray("{}");
        QTest::newRow("delete account")
            << "deleteAccount" << true << true << "/v1/me/delete" << QByteArray("{}");
        QTest::newRow("key without the prefix")
            << "signOutEverywhere" << false << true << "" << QByteArray();
        QTest::newRow("service unreachable") << "unreachable" << true << true << "" << QByteArray();
    }
    // Every sign-out forgets the key and its id, whatever the service does.
    void signOut()
    {
        QFETCH(QString, operation);
        QFETCH(bool, signedIn);
        QFETCH(bool, keyId);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QString key = QStringLiteral("abc_1");
        if (signedIn) {
            AccountSignIn signer;
            QVERIFY(!wait(signIn(signer, service->url(), QStringLiteral("dev"))).failure);
            key = *AccountSignIn::storedKey();
        }
        store(key, keyId ? QStringLiteral("key_1") : QString());
        service->reset();
        const QString server = service->url();
        if (operation == u"signOut")
            wait(AccountSignIn::signOut(server));
        else if (operation == u"signOutEverywhere")
            wait(AccountSignIn::signOutEverywhere(server));
        else if (operation == u"deleteAccount")
            wait(AccountSignIn::deleteAccount(server));
        else
            wait(AccountSignIn::signOut("http://127.0.0.1:" + unusedPort()));
        const QJsonArray requests = service->requests();
        if (path.isEmpty()) {
            QCOMPARE(requests.size(), 0);
        } else {
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests[0]["method"].toString(), QString("POST"));
            QCOMPARE(requests[0]["path"].toString(), path);
            QCOMPARE(requests[0]["body"].toString().toUtf8(), body);
            QCOMPARE(requests[0]["headers"]["authorization"].toString(), "Bearer " + key);
            QCOMPARE(requests[0]["headers"]["content-type"].toString(),
                     QString("application/json"));
        }
        QVERIFY(!Keychain::get(AccountSignIn::keyAccount.toString()));
        QVERIFY(!QSettings().contains(AccountSignIn::keyIdSetting));
        if (!path.isEmpty()) // the service no longer takes the key
            QVERIFY(!wait(AccountSignIn::account(server)));
    }
};

QTEST_MAIN(TestAccountSignIn)
#include "tst_accountsignin.moc"
