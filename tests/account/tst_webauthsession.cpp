#include "platform/WebAuthSession.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QTest>

#include <QCoro/QCoroTask>

// Stands in for the browser: remembers what it was asked to open.
class FakeBrowser : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void openUrl(const QUrl &url) { opened << url; }
};

class TestWebAuthSession : public QObject
{
    Q_OBJECT

    FakeBrowser browser;

    // Starts a session and keeps its result once it ends.
    static QCoro::Task<> start(WebAuthSession &session, QUrl url,
                               std::optional<WebAuthSession::Result> &result)
    {
        result = co_await session.open(url, QStringLiteral("vuvuvuv"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "openUrl");
    }
    void init() { browser.opened.clear(); }

    void ends_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("end");
        QTest::addColumn<QUrl>("url");
        const QUrl back(QStringLiteral("vuvuvuv://auth?state=s&code=c"));
        QTest::newRow("callback") << "deliver" << int(WebAuthSession::End::Callback) << back;
        QTest::newRow("scheme in capitals")
            << "deliver upper" << int(WebAuthSession::End::Callback) << back;
        QTest::newRow("cancel") << "cancel" << int(WebAuthSession::End::Cancelled) << QUrl();
        QTest::newRow("time limit") << "wait" << int(WebAuthSession::End::TimedOut) << QUrl();
        QTest::newRow("destroyed") << "destroy" << int(WebAuthSession::End::Cancelled) << QUrl();
    }
    void ends()
    {
        QFETCH(QString, how);
        QFETCH(int, end);
        QFETCH(QUrl, url);
        auto session = std::make_unique<WebAuthSession>();
        session->setTimeLimit(std::chrono::milliseconds(100));
        std::optional<WebAuthSession::Result> result;
        const QUrl page(QStringLiteral("http://127.0.0.1:9/auth/dev/start?state=s"));
        start(*session, page, result);
        QCOMPARE(browser.opened, QList<QUrl> {page});
        QVERIFY(session->isWaiting());
        QVERIFY(!result);
        if (how == u"deliver") {
            QVERIFY(WebAuthSession::deliver(url));
        } else if (how == u"deliver upper") {
            QVERIFY(WebAuthSession::deliver(QUrl(url.toString().replace("vuvuvuv", "VUVUVUV"))));
            url = QUrl(url.toString().replace("vuvuvuv", "VUVUVUV"));
        } else if (how == u"cancel") {
            session->cancel();
        } else if (how == u"destroy") {
            session.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 2000);
        QCOMPARE(int(result->end), end);
        QCOMPARE(result->url, url);
        if (session)
            QVERIFY(!session->isWaiting());
        // Nothing waits any more: a late callback finds no taker.
        QVERIFY(!WebAuthSession::deliver(QUrl(QStringLiteral("vuvuvuv://auth?state=s"))));
    }

    void otherSchemeIsNotTaken()
    {
        WebAuthSession session;
        std::optional<WebAuthSession::Result> result;
        start(session, QUrl(QStringLiteral("http://127.0.0.1:9/")), result);
        QVERIFY(!WebAuthSession::deliver(QUrl(QStringLiteral("other://auth?code=c"))));
        QVERIFY(session.isWaiting());
        session.cancel();
        QCOMPARE(int(result->end), int(WebAuthSession::End::Cancelled));
    }

    // A callback carries nothing that says which session it is for: a new session, on the same
    // object or another, ends the one before as cancelled and takes the next callback.
    void newSessionCancelsTheOld_data()
    {
        QTest::addColumn<bool>("sameObject");
        QTest::newRow("same object") << true;
        QTest::newRow("another object") << false;
    }
    void newSessionCancelsTheOld()
    {
        QFETCH(bool, sameObject);
        WebAuthSession first;
        WebAuthSession other;
        WebAuthSession &second = sameObject ? first : other;
        std::optional<WebAuthSession::Result> one, two;
        start(first, QUrl(QStringLiteral("http://127.0.0.1:9/one")), one);
        start(second, QUrl(QStringLiteral("http://127.0.0.1:9/two")), two);
        QVERIFY(one);
        QCOMPARE(int(one->end), int(WebAuthSession::End::Cancelled));
        QVERIFY(!two);
        const QUrl back(QStringLiteral("vuvuvuv://auth?code=c"));
        QVERIFY(WebAuthSession::deliver(back));
        QVERIFY(two);
        QCOMPARE(int(two->end), int(WebAuthSession::End::Callback));
        QCOMPARE(two->url, back);
    }

    void browserThatCannotStart()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        // No xdg-open and no browser on the search path: nothing can show the page.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        WebAuthSession session;
        std::optional<WebAuthSession::Result> result;
        start(session, QUrl(QStringLiteral("http://127.0.0.1:9/")), result);
        qputenv("PATH", path);
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "openUrl");
        QVERIFY(result);
        QCOMPARE(int(result->end), int(WebAuthSession::End::CouldNotOpen));
        QVERIFY(!session.isWaiting());
    }

    void defaultTimeLimitIsTenMinutes()
    {
        QCOMPARE(WebAuthSession().timeLimit(), std::chrono::milliseconds(std::chrono::minutes(10)));
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
};

QTEST_MAIN(TestWebAuthSession)
#include "tst_webauthsession.moc"
