#pragma once

#include <optional>

#include <QString>

// The system's store of secrets: items of a service, told apart by an account name. The shipped
// store is the Secret Service; a unit test of code built on it may install a fake.
class SecretStore
{
public:
    // Numeric values are stable: callers show them in messages.
    enum Status : int {
        Ok = 0,
        NotFound = 1, // remove(): no item of that service and account
        Failed = 2, // the service cannot be reached, the collection is locked, or it refused
    };

    virtual ~SecretStore() = default;

    // The item's text; absent when there is none or it cannot be read.
    virtual std::optional<QString> lookup(const QString &service, const QString &account) = 0;
    virtual Status store(const QString &service, const QString &account, const QString &label,
                         const QString &value) = 0;
    virtual Status remove(const QString &service, const QString &account) = 0;

    // The store in use: the one installed last, else the system's.
    static SecretStore &current();
    // Replaces the system's store until called again with nullptr. For unit tests only.
    static void install(SecretStore *store);
};
