#include "core/Keychain.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QProcess>
#include <QTest>

namespace {

using Attributes = QMap<QString, QString>;

const QString secrets = QStringLiteral("org.freedesktop.secrets");
const QString servicePath = QStringLiteral("/org/freedesktop/secrets");

struct Item
{
    QString label;
    QString path;
};

// Every item of the account, asked of the Secret Service directly over D-Bus.
QList<Item> items(const QString &account)
{
    QDBusInterface service(secrets, servicePath, "org.freedesktop.Secret.Service");
    const QDBusMessage reply = service.call(
        "SearchItems",
        QVariant::fromValue(Attributes {{"service", Keychain::service}, {"account", account}}));
    QList<Item> result;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return result;
    for (const QVariant &paths : reply.arguments()) {
        for (const QDBusObjectPath &path : qdbus_cast<QList<QDBusObjectPath>>(paths)) {
            QDBusInterface item(secrets, path.path(), "org.freedesktop.Secret.Item");
            result.append({item.property("Label").toString(), path.path()});
        }
    }
    return result;
}

QString defaultCollectionPath()
{
    QDBusInterface service(secrets, servicePath, "org.freedesktop.Secret.Service");
    const QDBusReply<QDBusObjectPath> reply = service.call("ReadAlias", "default");
    return reply.isValid() && reply.value().path() != "/" ? reply.value().path() : QString();
}

} // namespace

class TestKeychain : public QObject
{
    Q_OBJECT

private:
    QString
    runTool(const QStringList &arguments,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QProcess tool;
        tool.setProcessEnvironment(environment);
        tool.start(QCoreApplication::applicationDirPath() + "/keychain_tool", arguments);
        if (!tool.waitForFinished(20000) || tool.exitCode() != 0)
            return QStringLiteral("tool failed");
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<Attributes>();
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs the headless desktop's session bus and keyring (scripts/headless)");
        QVERIFY2(!defaultCollectionPath().isEmpty(), "no default collection");
    }

    void init()
    {
        for (const char *account : {"MODEL_API_KEY", "OPENAI_API_KEY"})
            Keychain::remove(account);
    }

    void neverSetIsAbsent() { QCOMPARE(Keychain::get("MODEL_API_KEY"), std::nullopt); }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("key") << "sk-live-0123456789";
        QTest::newRow("empty") << "";
        QTest::newRow("non-ASCII and spaces") << QString::fromUtf8("ключ 🔑 mit Leerzeichen");
        QTest::newRow("long") << QString(5000, 'x');
    }

    void roundTrip()
    {
        QFETCH(QString, value);
        QCOMPARE(Keychain::set("MODEL_API_KEY", value), Keychain::Status::Ok);
        QCOMPARE(Keychain::get("MODEL_API_KEY"), std::optional(value));
        const QList<Item> stored = items("MODEL_API_KEY");
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored[0].label, QString("Velko AI: MODEL_API_KEY"));
        QVERIFY2(stored[0].path.startsWith(defaultCollectionPath() + '/'),
                 qPrintable(stored[0].path));
        QCOMPARE(Keychain::get("OPENAI_API_KEY"), std::nullopt);
    }

    void replacementKeepsOneItem()
    {
        QCOMPARE(Keychain::set("MODEL_API_KEY", "first"), Keychain::Status::Ok);
        QCOMPARE(Keychain::set("MODEL_API_KEY", "second"), Keychain::Status::Ok);
        QCOMPARE(Keychain::get("MODEL_API_KEY"), std::optional<QString>("second"));
        QCOMPARE(items("MODEL_API_KEY").size(), 1);
    }

    void remove_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<Keychain::Status>("expected");
        QTest::newRow("existing item") << true << Keychain::Status::Ok;
        QTest::newRow("no such item") << false << Keychain::Status::NotFound;
    }

    void remove()
    {
        QFETCH(bool, present);
        QFETCH(Keychain::Status, expected);
        QCOMPARE(Keychain::set("OPENAI_API_KEY", "kept"), Keychain::Status::Ok);
        if (present)
            QCOMPARE(Keychain::set("MODEL_API_KEY", "gone"), Keychain::Status::Ok);
        QCOMPARE(Keychain::remove("MODEL_API_KEY"), expected);
        QCOMPARE(items("MODEL_API_KEY").size(), 0);
        QCOMPARE(Keychain::get("OPENAI_API_KEY"), std::optional<QString>("kept"));
    }

    // The self-test never reads real keys, with or without an application object.
    void smokeRunReadsNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("application") << QStringList {"get", "MODEL_API_KEY"} << "value:secret";
        QTest::newRow("application, smoke")
            << QStringList {"--smoke", "get", "MODEL_API_KEY"} << "absent";
        QTest::newRow("no application")
            << QStringList {"--no-app", "get", "MODEL_API_KEY"} << "value:secret";
        QTest::newRow("no application, smoke")
            << QStringList {"--no-app", "get", "MODEL_API_KEY", "--smoke"} << "absent";
    }

    void smokeRunReadsNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QCOMPARE(Keychain::set("MODEL_API_KEY", "secret"), Keychain::Status::Ok);
        QCOMPARE(runTool(arguments), expected);
    }

    void unreachableService_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("get") << QStringList {"get", "MODEL_API_KEY"} << "absent";
        QTest::newRow("set") << QStringList {"set", "MODEL_API_KEY", "v"} << "2";
        QTest::newRow("remove") << QStringList {"remove", "MODEL_API_KEY"} << "2";
    }

    void unreachableService()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/velko-bus");
        QCOMPARE(runTool(arguments, environment), expected);
    }
};

QTEST_GUILESS_MAIN(TestKeychain)
#include "tst_keychain.moc"
