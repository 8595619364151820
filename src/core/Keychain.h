#pragma once

#include "platform/SecretStore.h"

#include <optional>

#include <QString>

// The application's secrets (provider keys, the account's device key) in the system's secret
// store: items of the service "Velko AI provider keys", the account being the secret's name
// (for example MODEL_API_KEY). Secrets never go into configuration files.
namespace Keychain {

using Status = SecretStore::Status;

inline const QString service = QStringLiteral("Velko AI provider keys");

// The secret's text; absent when there is none or anything fails. Also absent, without asking
// the store, in the self-test (the process was started with "--smoke").
std::optional<QString> get(const QString &account);

// Removes any item of that account, then stores a new one. Returns Status::Ok (0) or
// Status::Failed (2).
Status set(const QString &account, const QString &value);

// Returns Status::Ok (0) when an item was removed, Status::NotFound (1) when there was no such
// item, Status::Failed (2) when the store could not be asked.
Status remove(const QString &account);

} // namespace Keychain
