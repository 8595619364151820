#pragma once

#include <optional>

#include <QMap>
#include <QString>

#include "core/Provider.h"

// The model backend the pipeline uses: the account service (remote, the default) or the built-in
// model server with a provider of the user's own (builtin). The mode and the account service's
// address live in the user defaults, the provider settings in dataDir/server.env, the keys only
// in the keychain.
namespace ServerConfig {

enum class Mode { Remote, Builtin };

using Entries = QMap<QString, QString>;

inline constexpr char defaultServerURL[] = "https://account.velko.ai";

Mode mode();
QString remoteURL();
QString envFilePath();

// "server.env" parsed; empty when it cannot be read.
Entries readEnvFile();
// KEY=VALUE lines trimmed of spaces and tabs; '#' comments and lines without '=' are skipped;
// nothing else is processed. A QUORREL_ key reads as VELKO_, and the VELKO_ spelling wins.
Entries parseEnv(const QString &text);
// The provider named by VELKO_PROVIDER in "server.env", if it is one.
std::optional<Provider> provider();

// The keychain's non-empty provider keys, by key variable, for the built-in server only.
Entries builtinKeys();

// Creates "server.env" from the settings file an earlier version kept, once: true when it did.
bool adoptClientProviderSettings();

// Rewrites "server.env" for the built-in mode with `provider`; returns the failure, if any.
std::optional<QString> writeBuiltin(Provider provider, const std::optional<QString> &awsProfile,
                                    const std::optional<QString> &awsRegion);

// The entries the pipeline's environment takes from the configuration.
Entries pipelineEnv(const std::optional<QString> &builtinURL);

} // namespace ServerConfig
