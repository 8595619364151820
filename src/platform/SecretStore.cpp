#include "platform/SecretStore.h"

#include "platform/linux/secret/SecretServiceStore.h"

#include <atomic>

namespace {

std::atomic<SecretStore *> installed = nullptr;

} // namespace

SecretStore &SecretStore::current()
{
    if (SecretStore *store = installed.load())
        return *store;
    static SecretServiceStore system;
    return system;
}

void SecretStore::install(SecretStore *store)
{
    installed.store(store);
}
