#pragma once

#include "platform/SecretStore.h"

// Secrets on the freedesktop Secret Service through libsecret: one item per (service, account)
// pair in the default collection. Items carry only these two attributes, so other tools find
// them as well.
class SecretServiceStore : public SecretStore
{
public:
    std::optional<QString> lookup(const QString &service, const QString &account) override;
    Status store(const QString &service, const QString &account, const QString &label,
                 const QString &value) override;
    Status remove(const QString &service, const QString &account) override;
};
