#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/ProviderProbe.h"
#include "core/VelkoServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <qcoro/qcorotask.h>

#include "Sandbox.h"

using namespace std::chrono_literals;
using Vars = QMap<QString, QString>;

namespace {

const QString fixtures = QStringLiteral(VELKO_FIXTURES_DIR);
const QString resources = QStringLiteral(VELKO_SOURCE_DIR "/resources");

void install(const Sandbox &sandbox, const QString &from, const QString &to)
{
    QFile::remove(sandbox.path(to));
    QVERIFY(QFile::copy(from, sandbox.path(to)));
}

QStringList probeFiles()
{
    return QDir(Paths::runtimeDir()).entryList({"velko-probe-*.env"}, QDir::Files);
}

std::optional<QString> optional(const QString &text)
{
    return text.isNull() ? std::nullopt : std::optional(text);
}

// The provider the built-in server talks to in these tests; it accepts the key sk-test.
class FakeProvider
{
public:
    FakeProvider()
    {
        m_process.start("/usr/bin/python3", {fixtures + "/fake_provider.py"});
        m_process.waitForReadyRead(5000);
        const QByteArray port = m_process.readLine().trimmed();
        qputenv("VELKO_PROVIDER_URL", "http://127.0.0.1:" + port + "/v1");
    }
    ~FakeProvider()
    {
        qunsetenv("VELKO_PROVIDER_URL");
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

} // namespace

class TestVelkoServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Velko AI Tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_velkoserver"));
    }

    void startAndStop()
    {
        MemoryStore store;
        Sandbox sandbox;
        install(sandbox, resources + "/server/app.py", "repo/server/app.py");
        VelkoServer server;
        QCOMPARE(server.start(std::nullopt, std::nullopt, sandbox.path("none.env"), 20s),
                 std::nullopt);
        const pid_t pid = server.pid();
        const auto port = server.port();
        QVERIFY(pid > 0 && port);
        QVERIFY(VelkoServer::healthy(*port));

        QCOMPARE(server.start(Provider::OpenAI, {}, {}, 20s), std::nullopt); // already running
        QCOMPARE(server.pid(), pid);
        QVERIFY(QFile(Paths::logsDir() + "/velko-server.log").size() > 0);

        QCOMPARE(server.stop(), QList<pid_t>());
        QVERIFY(!ProcessTree::isAlive(pid));
        QCOMPARE(server.port(), std::nullopt);
        QCOMPARE(server.stop(), QList<pid_t>());
    }

    void startFailures_data()
    {
        QTest::addColumn<QString>("script"); // empty: none installed
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("message"); // %1: the port
        QTest::newRow("missing") << ""
                                 << ""
                                 << "the built-in server is missing from this build";
        QTest::newRow("exits at once")
            << "fake_model_server.py"
            << "exit"
            << "the built-in server exited: loading settings first problem boom: no such provider";
        QTest::newRow("exits without a last line feed")
            << "fake_model_server.py"
            << "mute"
            << "the built-in server exited: loading settings first problem boom: no such provider";
        QTest::newRow("never answers") << "fake_model_server.py"
                                       << "deaf"
                                       << "the built-in server did not answer on port %1";
    }

    void startFailures()
    {
        QFETCH(QString, script);
        QFETCH(QString, mode);
        QFETCH(QString, message);
        MemoryStore store;
        Sandbox sandbox;
        if (!script.isEmpty())
            install(sandbox, fixtures + '/' + script, "repo/server/app.py");
        qputenv("FAKE_SERVER", mode.toUtf8());
        VelkoServer server;
        QElapsedTimer clock;
        clock.start();
        const auto failure = server.start(std::nullopt, std::nullopt, {}, 1s);
        qunsetenv("FAKE_SERVER");
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(failure);
        QCOMPARE(*failure, message.contains("%1") ? message.arg(*server.port()) : message);
        if (mode == "deaf") {
            const pid_t pid = server.pid();
            QVERIFY(ProcessTree::isAlive(pid)); // left running until stopped
            QCOMPARE(server.stop(), QList<pid_t>());
            QVERIFY(!ProcessTree::isAlive(pid));
        } else {
            QCOMPARE(server.pid(), 0);
        }
    }

    void environment_data()
    {
        QTest::addColumn<Vars>("keychain");
        QTest::addColumn<int>("provider"); // -1: none
        QTest::addColumn<QString>("key"); // null: none
        QTest::addColumn<Vars>("expected"); // empty value: absent
        QTest::newRow("keychain keys reach the built-in server")
            << Vars {{"ANTHROPIC_API_KEY", "a"}, {"OPENAI_API_KEY", ""}, {"MODEL_API_KEY", "m"}}
            << -1 << QString()
            << Vars {{"ANTHROPIC_API_KEY", "a"},
                     {"MODEL_API_KEY", "m"},
                     {"OPENAI_API_KEY", ""},
                     {"VELKO_PROVIDER", ""}};
        QTest::newRow("a key passed to start wins")
            << Vars {{"ANTHROPIC_API_KEY", "stored"}} << int(Provider::Anthropic) << "given"
            << Vars {{"ANTHROPIC_API_KEY", "given"}, {"VELKO_PROVIDER", "anthropic"}};
        QTest::newRow("a key without a provider is not used")
            << Vars {} << -1 << "given" << Vars {{"ANTHROPIC_API_KEY", ""}, {"OPENAI_API_KEY", ""}};
        QTest::newRow("bedrock has no key variable")
            << Vars {} << int(Provider::Bedrock) << "given" << Vars {{"VELKO_PROVIDER", "bedrock"}};
    }

    void environment()
    {
        QFETCH(Vars, keychain);
        QFETCH(int, provider);
        QFETCH(QString, key);
        QFETCH(Vars, expected);
        MemoryStore store;
        store.items = keychain;
        Sandbox sandbox;
        qputenv("VELKO_API_TOKENS", "t");
        const QProcessEnvironment env = VelkoServer::environment(
            4242, provider < 0 ? std::nullopt : std::optional(Provider(Provider::Value(provider))),
            optional(key), "/x/server.env");
        qunsetenv("VELKO_API_TOKENS");
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            if (it.value().isEmpty())
                QVERIFY2(!env.contains(it.key()), qPrintable(it.key()));
            else
                QCOMPARE(env.value(it.key()), it.value());
        }
        QCOMPARE(env.value("VELKO_SERVER_ENV"), QStringLiteral("/x/server.env"));
        QCOMPARE(env.value("VELKO_SERVER_HOST"), QStringLiteral("127.0.0.1"));
        QCOMPARE(env.value("VELKO_SERVER_PORT"), QStringLiteral("4242"));
        QCOMPARE(env.value("PYTHONHOME"), sandbox.path("python"));
        QVERIFY(env.value("PATH").startsWith(sandbox.path("python") + "/bin:"));
        QVERIFY(!env.contains("VELKO_API_TOKENS"));
    }

    void parse_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("detail");
        QTest::newRow("progress then OK") << "loading\nOK model-x\n" << 0 << true << "model-x";
        QTest::newRow("last OK wins") << "OK a\nOK b" << 0 << true << "b";
        QTest::newRow("OK with a failing status does not count") << "OK model-x\n"
                                                                 << 1 << false << "OK model-x";
        QTest::newRow("FAIL anywhere wins over other text") << "FAIL no key\ntraceback line\n"
                                                            << 1 << false << "no key";
        QTest::newRow("FAIL after OK with status 0") << "FAIL late\nOK a" << 0 << true << "a";
        QTest::newRow("last three lines") << "a\nb\n\nc\nd\n" << 1 << false << "b\nc\nd";
        QTest::newRow("nothing, status 2") << "" << 2 << false << "the check exited with status 2";
        QTest::newRow("OK needs its space") << "OKAY" << 0 << false << "OKAY";
    }

    void parse()
    {
        QFETCH(QString, output);
        QFETCH(int, status);
        QFETCH(bool, ok);
        QFETCH(QString, detail);
        QCOMPARE(ProviderProbe::parse(output, status), (ProviderProbe::Result {ok, detail}));
    }

    void runCheckScript_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("detail");
        QTest::newRow("answers") << "noisy" << true << "fake-model-1";
        QTest::newRow("backend refuses") << "refused" << false << "the key was refused";
        QTest::newRow("no answer, no reason") << "silent" << false << "the model did not answer";
        QTest::newRow("hangs until the limit") << "hang" << false << "no answer within 1s";
    }

    void runCheckScript()
    {
        QFETCH(QString, mode);
        QFETCH(bool, ok);
        QFETCH(QString, detail);
        Sandbox sandbox(fixtures + "/fake_pipeline.py");
        install(sandbox, fixtures + "/fake_llm.py", "repo/core/llm.py");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ProviderProbe::run({{"FAKE_LLM", mode}}, 1s),
                 (ProviderProbe::Result {ok, detail}));
        QVERIFY(clock.elapsed() < 4000);
    }

    void remoteProbe_data()
    {
        QTest::addColumn<QString>("token"); // null: none
        QTest::addColumn<QString>("detail");
        QTest::newRow("with a device key") << "dk"
                                           << "https://account.test dk";
        QTest::newRow("an empty key is not passed") << ""
                                                    << "https://account.test -";
        QTest::newRow("without a key") << QString() << "https://account.test -";
    }

    void remoteProbe()
    {
        QFETCH(QString, token);
        QFETCH(QString, detail);
        Sandbox sandbox(fixtures + "/fake_pipeline.py");
        install(sandbox, fixtures + "/fake_llm.py", "repo/core/llm.py");
        qputenv("FAKE_LLM", "echo");
        const ProviderProbe::Result result =
            QCoro::waitFor(ProviderProbe::remote("https://account.test", optional(token)));
        qunsetenv("FAKE_LLM");
        QCOMPARE(result, (ProviderProbe::Result {true, detail}));
    }

    // The whole road: a temporary built-in server with the provider and key, the pipeline's own
    // model module, and a provider on loopback.
    void builtinProbe_data()
    {
        QTest::addColumn<int>("provider");
        QTest::addColumn<QString>("key");
        QTest::addColumn<Vars>("keychain");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("detail");
        QTest::newRow("openai") << int(Provider::OpenAI) << "sk-test" << Vars {} << true
                                << "gpt-4o-mini";
        QTest::newRow("anthropic") << int(Provider::Anthropic) << "sk-test" << Vars {} << true
                                   << "claude-3-5-haiku-latest";
        QTest::newRow("wrong key") << int(Provider::OpenAI) << "sk-nope" << Vars {} << false
                                   << "OpenAI refused the request (status 401): bad key";
        QTest::newRow("the given key wins over the keychain")
            << int(Provider::OpenAI) << "sk-test" << Vars {{"OPENAI_API_KEY", "sk-old"}} << true
            << "gpt-4o-mini";
        QTest::newRow("the keychain's key without one given")
            << int(Provider::OpenAI) << QString() << Vars {{"OPENAI_API_KEY", "sk-test"}} << true
            << "gpt-4o-mini";
        QTest::newRow("no key at all")
            << int(Provider::OpenAI) << QString() << Vars {} << false
            << QString::fromUtf8("no key for OpenAI \xe2\x80\x94 add it in Settings");
    }

    void builtinProbe()
    {
        QFETCH(int, provider);
        QFETCH(QString, key);
        QFETCH(Vars, keychain);
        QFETCH(bool, ok);
        QFETCH(QString, detail);
        MemoryStore store;
        store.items = keychain;
        Sandbox sandbox(fixtures + "/fake_pipeline.py");
        install(sandbox, resources + "/app/llm.py", "repo/core/llm.py");
        install(sandbox, resources + "/server/app.py", "repo/server/app.py");
        FakeProvider fakeProvider;
        const QStringList before = probeFiles();
        const ProviderProbe::Result result = QCoro::waitFor(
            ProviderProbe::builtin(Provider::Value(provider), optional(key), {}, {}));
        QCOMPARE(result, (ProviderProbe::Result {ok, detail}));
        QCOMPARE(probeFiles(), before); // the temporary configuration is gone
    }

    void builtinProbeWithoutServer()
    {
        MemoryStore store;
        Sandbox sandbox(fixtures + "/fake_pipeline.py");
        install(sandbox, fixtures + "/fake_llm.py", "repo/core/llm.py");
        const QStringList before = probeFiles();
        const ProviderProbe::Result result =
            ProviderProbe::probeBuiltin(Provider::Bedrock, {}, QString("work"), QString("eu"));
        QCOMPARE(result,
                 (ProviderProbe::Result {false, "the built-in server is missing from this build"}));
        QCOMPARE(probeFiles(), before);
    }
};

QTEST_GUILESS_MAIN(TestVelkoServer)
#include "tst_velkoserver.moc"
