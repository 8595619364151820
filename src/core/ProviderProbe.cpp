#include "core/ProviderProbe.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QStringList>
#include <QUuid>

#include <qcoro/qcorofuture.h>

#include "core/Background.h"
#include "core/ChildProcess.h"
#include "core/Paths.h"
#include "core/ProcessTree.h"
#include "core/VelkoServer.h"

namespace {

constexpr auto killGrace = std::chrono::seconds(1);

const char checkScript[] = R"(import sys
import llm
state, detail = llm.backend_status()
if state != "ok":
    print("FAIL " + str(detail))
    sys.exit(1)
if not llm._invoke("Reply with the single word: ready", max_tokens=8):
    print("FAIL " + (llm.LAST_ERROR or "the model did not answer"))
    sys.exit(1)
print("OK " + str(llm.resolved_model()))
)";

bool present(const std::optional<QString> &text)
{
    return text && !text->isEmpty();
}

} // namespace

namespace ProviderProbe {

Result parse(const QString &output, int status)
{
    const QStringList lines = output.split(u'\n', Qt::SkipEmptyParts);
    if (status == 0) {
        for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
            if (it->startsWith(QLatin1String("OK ")))
                return {true, it->mid(3)};
        }
    }
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (it->startsWith(QLatin1String("FAIL ")))
            return {false, it->mid(5)};
    }
    if (lines.isEmpty())
        return {false, QStringLiteral("the check exited with status %1").arg(status)};
    return {false, lines.mid(qMax(0, lines.size() - 3)).join(u'\n')};
}

Result run(const QMap<QString, QString> &env, std::chrono::milliseconds timeout)
{
    Paths::ensure();
    const QString pythonHome = Paths::pythonHome();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONHOME"), pythonHome);
    environment.insert(QStringLiteral("PYTHONPATH"), Paths::pipelineRoot());
    environment.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("VELKO_HOME"), Paths::dataDir());
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        environment.insert(it.key(), it.value());

    ChildProcess::Spec spec;
    spec.program = pythonHome + QStringLiteral("/bin/python3");
    spec.arguments = {QStringLiteral("-c"), QString::fromUtf8(checkScript)};
    spec.workingDirectory = Paths::dataDir();
    spec.environment = environment.toStringList();

    // The output handler runs on the child's reader thread; waitForExit() orders it before us.
    QByteArray output;
    ChildProcess child;
    if (const auto failure =
            child.start(spec, [&output](const QByteArray &bytes) { output += bytes; }, {}))
        return {false, *failure};
    if (!child.waitForExit(int(timeout.count()))) {
        ProcessTree::terminate(child.pid(), killGrace);
        child.waitForExit();
        return {false,
                QStringLiteral("no answer within %1s")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(timeout).count())};
    }
    return parse(QString::fromUtf8(output), child.exitStatus());
}

Result probeBuiltin(Provider provider, const std::optional<QString> &key,
                    const std::optional<QString> &awsProfile,
                    const std::optional<QString> &awsRegion, std::chrono::milliseconds timeout)
{
    const QString envFile =
        QDir(Paths::runtimeDir())
            .filePath(QStringLiteral("velko-probe-%1.env")
                          .arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    QString content = QStringLiteral("VELKO_PROVIDER=") + provider.rawValue() + u'\n';
    if (provider == Provider::Bedrock) {
        if (present(awsProfile))
            content += QStringLiteral("AWS_PROFILE=") + *awsProfile + u'\n';
        if (present(awsRegion))
            content += QStringLiteral("AWS_REGION=") + *awsRegion + u'\n';
    }
    QSaveFile file(envFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        file.write(content.toUtf8());
        file.commit();
    }

    Result result;
    {
        VelkoServer server;
        if (const auto failure = server.start(provider, key, envFile, serverTimeout)) {
            result = {false, *failure};
        } else {
            result = run({{QStringLiteral("VELKO_SERVER_URL"),
                           QStringLiteral("http://127.0.0.1:%1").arg(server.port().value_or(0))}},
                         timeout);
        }
        server.stop();
    }
    QFile::remove(envFile);
    return result;
}

// The futures are made outside the coroutines: GCC 12 destroys the captures of a lambda
// temporary inside a co_await expression twice.
static QFuture<Result> runInBackground(const QMap<QString, QString> &env)
{
    return Background::run([env] { return run(env); });
}

static QFuture<Result> probeInBackground(Provider provider, const std::optional<QString> &key,
                                         const std::optional<QString> &awsProfile,
                                         const std::optional<QString> &awsRegion)
{
    return Background::run([provider, key, awsProfile, awsRegion] {
        return probeBuiltin(provider, key, awsProfile, awsRegion);
    });
}

QCoro::Task<Result> remote(QString url, std::optional<QString> token)
{
    QMap<QString, QString> env {{QStringLiteral("VELKO_SERVER_URL"), url}};
    if (present(token))
        env.insert(QStringLiteral("VELKO_TOKEN"), *token);
    QFuture<Result> probe = runInBackground(env);
    co_return co_await probe;
}

QCoro::Task<Result> builtin(Provider provider, std::optional<QString> key,
                            std::optional<QString> awsProfile, std::optional<QString> awsRegion)
{
    QFuture<Result> probe = probeInBackground(provider, key, awsProfile, awsRegion);
    co_return co_await probe;
}

} // namespace ProviderProbe
