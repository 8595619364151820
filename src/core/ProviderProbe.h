#pragma once

#include <chrono>
#include <optional>

#include <QMap>
#include <QString>

#include <qcoro/qcorotask.h>

#include "core/Provider.h"

// Asks the pipeline's own model client whether a backend answers: a short check script in the
// embedded interpreter, against the account service or a temporary built-in server set up with
// the provider and key the user just entered.
namespace ProviderProbe {

struct Result
{
    bool ok = false;
    QString detail; // the model's name, or the reason shown to the user
    bool operator==(const Result &) const = default;
};

inline constexpr auto defaultTimeout = std::chrono::seconds(90);
inline constexpr auto serverTimeout = std::chrono::seconds(20);

QCoro::Task<Result> remote(QString url, std::optional<QString> token);
QCoro::Task<Result> builtin(Provider provider, std::optional<QString> key,
                            std::optional<QString> awsProfile, std::optional<QString> awsRegion);

// Runs the check script with `env` added to the environment; blocks up to `timeout`.
Result run(const QMap<QString, QString> &env, std::chrono::milliseconds timeout = defaultTimeout);
// Interprets the script's output and exit status.
Result parse(const QString &output, int status);

// The blocking body of builtin(), for a caller already on a background thread.
Result probeBuiltin(Provider provider, const std::optional<QString> &key,
                    const std::optional<QString> &awsProfile,
                    const std::optional<QString> &awsRegion,
                    std::chrono::milliseconds timeout = defaultTimeout);

} // namespace ProviderProbe
