#include "core/ProviderChoice.h"
#include "core/ServerConfig.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTest>

#include "Sandbox.h"

using Entries = ServerConfig::Entries;

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void setSetting(const char *key, const QString &value)
{
    QSettings settings;
    if (value.isNull())
        settings.remove(QLatin1String(key));
    else
        settings.setValue(QLatin1String(key), value);
}

} // namespace

class TestServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI Tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_serverconfig"));
    }

    void cleanup() { QSettings().clear(); }

    void parseEnv_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Entries>("expected");
        QTest::newRow("blanks around the line") << "  VELKO_PROVIDER=anthropic  \n"
                                                << Entries {{"VELKO_PROVIDER", "anthropic"}};
        QTest::newRow("tabs around the line") << "\tA=b\t\n" << Entries {{"A", "b"}};
        QTest::newRow("blanks at the equals sign stay") << "A = b" << Entries {{"A ", " b"}};
        QTest::newRow("value keeps later equals signs") << "X=a=b" << Entries {{"X", "a=b"}};
        QTest::newRow("comments and lines without equals") << "# A=b\n  # c=d\nnothing here\n\n"
                                                           << Entries {};
        QTest::newRow("no quotes removed, no expansion")
            << "A=\"q\" # not a comment\nB=$HOME"
            << Entries {{"A", "\"q\" # not a comment"}, {"B", "$HOME"}};
        QTest::newRow("carriage return stays in the value") << "A=b\r\n" << Entries {{"A", "b\r"}};
        QTest::newRow("later line wins") << "A=1\nA=2\n" << Entries {{"A", "2"}};
        QTest::newRow("older prefix read as current")
            << "QUORREL_MODEL=m" << Entries {{"VELKO_MODEL", "m"}};
        QTest::newRow("current prefix wins, older first")
            << "QUORREL_PROVIDER=openai\nVELKO_PROVIDER=bedrock"
            << Entries {{"VELKO_PROVIDER", "bedrock"}};
        QTest::newRow("current prefix wins, older last")
            << "VELKO_PROVIDER=bedrock\nQUORREL_PROVIDER=openai"
            << Entries {{"VELKO_PROVIDER", "bedrock"}};
        QTest::newRow("empty value") << "A=" << Entries {{"A", ""}};
    }

    void parseEnv()
    {
        QFETCH(QString, text);
        QFETCH(Entries, expected);
        QCOMPARE(ServerConfig::parseEnv(text), expected);
    }

    void provider_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected"); // raw value, empty for none
        QTest::newRow("no file") << QByteArray() << "";
        QTest::newRow("anthropic") << QByteArray("VELKO_PROVIDER=anthropic\n") << "anthropic";
        QTest::newRow("older prefix") << QByteArray("QUORREL_PROVIDER=meta\n") << "meta";
        QTest::newRow("unknown") << QByteArray("VELKO_PROVIDER=Anthropic\n") << "";
        QTest::newRow("not UTF-8") << QByteArray("VELKO_PROVIDER=openai\n\xff\xfe") << "";
    }

    void provider()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        Sandbox sandbox;
        QDir().mkpath(sandbox.dataDir());
        if (!file.isNull())
            writeFile(ServerConfig::envFilePath(), file);
        const auto provider = ServerConfig::provider();
        QCOMPARE(provider ? provider->rawValue() : QString(), expected);
    }

    void adoption_data()
    {
        QTest::addColumn<QString>("olderName");
        QTest::addColumn<QByteArray>("older");
        QTest::addColumn<QByteArray>("existing"); // server.env before, null for none
        QTest::addColumn<bool>("adopted");
        QTest::addColumn<QByteArray>("expected"); // server.env after, null for none
        const QByteArray header =
            "# moved here from the client's settings by Velko AI \xe2\x80\x94 "
            "keys are in the Keychain, never here\n";
        QTest::newRow("provider kept, key left behind")
            << ".vuvuvuv.env" << QByteArray("VELKO_PROVIDER=anthropic\nANTHROPIC_API_KEY=sk-1\n")
            << QByteArray() << true << header + "VELKO_PROVIDER=anthropic\n";
        QTest::newRow("known keys in their order")
            << ".quorrel.env"
            << QByteArray("AWS_REGION=eu-west-1\nQUORREL_PROVIDER=bedrock\nOTHER=x\n"
                          "VELKO_ROLE=r\nAWS_PROFILE=p\nVELKO_MODEL=m\n")
            << QByteArray() << true
            << header +
                "VELKO_PROVIDER=bedrock\nVELKO_MODEL=m\nVELKO_ROLE=r\nAWS_PROFILE=p\n"
                "AWS_REGION=eu-west-1\n";
        QTest::newRow("without a provider nothing is adopted")
            << ".vuvuvuv.env" << QByteArray("VELKO_MODEL=m\n") << QByteArray() << false
            << QByteArray();
        QTest::newRow("an existing server.env is kept")
            << ".vuvuvuv.env" << QByteArray("VELKO_PROVIDER=openai\n")
            << QByteArray("VELKO_PROVIDER=meta\n") << false << QByteArray("VELKO_PROVIDER=meta\n");
    }

    void adoption()
    {
        QFETCH(QString, olderName);
        QFETCH(QByteArray, older);
        QFETCH(QByteArray, existing);
        QFETCH(bool, adopted);
        QFETCH(QByteArray, expected);
        Sandbox sandbox;
        QDir().mkpath(sandbox.dataDir());
        writeFile(sandbox.dataDir() + '/' + olderName, older);
        if (!existing.isNull())
            writeFile(ServerConfig::envFilePath(), existing);

        QCOMPARE(ServerConfig::adoptClientProviderSettings(), adopted);
        QCOMPARE(QFile::exists(ServerConfig::envFilePath()), !expected.isNull());
        QCOMPARE(readFile(ServerConfig::envFilePath()), expected);
        if (adopted) {
            QCOMPARE(QFile::permissions(ServerConfig::envFilePath()),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
            // A second launch changes nothing.
            QVERIFY(!ServerConfig::adoptClientProviderSettings());
            QCOMPARE(readFile(ServerConfig::envFilePath()), expected);
        }
    }

    void writeBuiltin_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("provider");
        QTest::addColumn<QString>("profile"); // null for none
        QTest::addColumn<QString>("region");
        QTest::addColumn<QByteArray>("after");
        const QByteArray header = "# written by Velko AI for its built-in server \xe2\x80\x94 keys "
                                  "are in the Keychain, never here\n";
        QTest::newRow("fresh") << QByteArray() << int(Provider::OpenAI) << QString() << QString()
                               << header + "VELKO_PROVIDER=openai\n";
        QTest::newRow("keys dropped, comments dropped, sorted, older prefix normalised")
            << QByteArray("# old\nZ=1\nOPENAI_API_KEY=sk\nQUORREL_MODEL=m\nANTHROPIC_API_KEY=a\n"
                          "MODEL_API_KEY=k\n")
            << int(Provider::Anthropic) << QString() << QString()
            << header + "VELKO_MODEL=m\nVELKO_PROVIDER=anthropic\nZ=1\n";
        QTest::newRow("bedrock with an empty profile removes it")
            << QByteArray("AWS_PROFILE=old\nAWS_REGION=eu-west-1\n") << int(Provider::Bedrock) << ""
            << QString() << header + "AWS_REGION=eu-west-1\nVELKO_PROVIDER=bedrock\n";
        QTest::newRow("bedrock sets profile and region")
            << QByteArray("AWS_REGION=eu-west-1\n") << int(Provider::Bedrock) << "work"
            << "us-west-2"
            << header + "AWS_PROFILE=work\nAWS_REGION=us-west-2\nVELKO_PROVIDER=bedrock\n";
        QTest::newRow("openai keeps the AWS entries")
            << QByteArray("AWS_PROFILE=p\nAWS_REGION=r\n") << int(Provider::OpenAI) << "x"
            << "y" << header + "AWS_PROFILE=p\nAWS_REGION=r\nVELKO_PROVIDER=openai\n";
    }

    void writeBuiltin()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, provider);
        QFETCH(QString, profile);
        QFETCH(QString, region);
        QFETCH(QByteArray, after);
        Sandbox sandbox;
        if (!before.isNull()) {
            QDir().mkpath(sandbox.dataDir());
            writeFile(ServerConfig::envFilePath(), before);
        }
        const auto optional = [](const QString &text) {
            return text.isNull() ? std::nullopt : std::optional(text);
        };
        const auto failure = ServerConfig::writeBuiltin(Provider::Value(provider),
                                                        optional(profile), optional(region));
        QVERIFY2(!failure, qPrintable(failure.value_or(QString())));
        QCOMPARE(readFile(ServerConfig::envFilePath()), after);
        QCOMPARE(QFile::permissions(ServerConfig::envFilePath()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }

    void writeBuiltinFailure()
    {
        Sandbox sandbox;
        QDir().mkpath(ServerConfig::envFilePath()); // a directory where the file belongs
        const auto failure = ServerConfig::writeBuiltin(Provider::OpenAI, {}, {});
        QVERIFY(failure);
        QVERIFY(failure->contains(QLatin1String("server.env")));
    }

    void choice_data()
    {
        QTest::addColumn<QString>("mode"); // null: unset
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("inUse");
        QTest::newRow("mode unset")
            << QString() << QByteArray("VELKO_PROVIDER=anthropic\n") << "velko"
            << "Velko AI";
        QTest::newRow("remote") << "remote" << QByteArray("VELKO_PROVIDER=openai\n") << "velko"
                                << "Velko AI";
        QTest::newRow("unknown mode is remote")
            << "Builtin" << QByteArray("VELKO_PROVIDER=openai\n") << "velko"
            << "Velko AI";
        QTest::newRow("builtin anthropic")
            << "builtin" << QByteArray("VELKO_PROVIDER=anthropic\n") << "anthropic"
            << QString::fromUtf8("Anthropic, your own key \xe2\x80\x94 on this Mac");
        QTest::newRow("builtin bedrock")
            << "builtin" << QByteArray("VELKO_PROVIDER=bedrock\n") << "bedrock"
            << QString::fromUtf8("AWS Bedrock, your own key \xe2\x80\x94 on this Mac");
        QTest::newRow("builtin meta has no choice of its own")
            << "builtin" << QByteArray("VELKO_PROVIDER=meta\n") << "velko"
            << "Velko AI";
        QTest::newRow("builtin without provider") << "builtin" << QByteArray() << "velko"
                                                  << "Velko AI";
    }

    void choice()
    {
        QFETCH(QString, mode);
        QFETCH(QByteArray, file);
        QFETCH(QString, choice);
        QFETCH(QString, inUse);
        Sandbox sandbox;
        QDir().mkpath(sandbox.dataDir());
        if (!file.isNull())
            writeFile(ServerConfig::envFilePath(), file);
        setSetting("serverMode", mode);
        const ProviderChoice current = ProviderChoice::current();
        QCOMPARE(current.rawValue(), choice);
        QCOMPARE(current.inUse(), inUse);
    }

    void labels()
    {
        QStringList choices;
        for (const ProviderChoice choice : ProviderChoice::allCases())
            choices << choice.rawValue() + '=' + choice.label();
        QCOMPARE(choices,
                 QStringList({"velko=Velko AI (default)", "anthropic=Anthropic", "openai=OpenAI",
                              "bedrock=AWS Bedrock"}));
        QStringList providers;
        for (const Provider provider : Provider::allCases())
            providers << provider.rawValue() + '=' + provider.label() + '=' +
                    provider.keyVar().value_or("-");
        QCOMPARE(providers,
                 QStringList({"meta=Meta (Muse Spark)=MODEL_API_KEY",
                              "anthropic=Anthropic=ANTHROPIC_API_KEY",
                              "openai=OpenAI=OPENAI_API_KEY", "bedrock=AWS Bedrock=-"}));
    }

    void pipelineEnv_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("serverURL");
        QTest::addColumn<QString>("deviceKey"); // null: none in the keychain
        QTest::addColumn<QString>("builtinURL");
        QTest::addColumn<Entries>("expected");
        QTest::newRow("remote, default address, no device key")
            << QString() << QString() << QString() << QString()
            << Entries {{"VELKO_SERVER_URL", "https://account.velko.ai"}};
        QTest::newRow("remote, empty device key counts as none")
            << "remote" << QString() << "" << QString()
            << Entries {{"VELKO_SERVER_URL", "https://account.velko.ai"}};
        QTest::newRow("remote with address and device key")
            << "remote"
            << "https://example.test"
            << "dk-1"
            << "http://127.0.0.1:9"
            << Entries {{"VELKO_SERVER_URL", "https://example.test"}, {"VELKO_TOKEN", "dk-1"}};
        QTest::newRow("builtin with a port")
            << "builtin"
            << "https://example.test"
            << "dk-1"
            << "http://127.0.0.1:9" << Entries {{"VELKO_SERVER_URL", "http://127.0.0.1:9"}};
        QTest::newRow("builtin without a port")
            << "builtin" << QString() << "dk-1" << QString() << Entries {};
    }

    void pipelineEnv()
    {
        QFETCH(QString, mode);
        QFETCH(QString, serverURL);
        QFETCH(QString, deviceKey);
        QFETCH(QString, builtinURL);
        QFETCH(Entries, expected);
        MemoryStore store;
        if (!deviceKey.isNull())
            store.items.insert("VELKO_TOKEN", deviceKey);
        setSetting("serverMode", mode);
        setSetting("serverURL", serverURL);
        QCOMPARE(ServerConfig::pipelineEnv(builtinURL.isNull() ? std::nullopt
                                                               : std::optional(builtinURL)),
                 expected);
    }

    void builtinKeys()
    {
        MemoryStore store;
        store.items = {{"MODEL_API_KEY", "m"},
                       {"ANTHROPIC_API_KEY", ""},
                       {"OPENAI_API_KEY", "o"},
                       {"VELKO_TOKEN", "device"}};
        QCOMPARE(ServerConfig::builtinKeys(),
                 Entries({{"MODEL_API_KEY", "m"}, {"OPENAI_API_KEY", "o"}}));
    }
};

QTEST_GUILESS_MAIN(TestServerConfig)
#include "tst_serverconfig.moc"
