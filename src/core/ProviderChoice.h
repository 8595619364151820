#pragma once

#include <optional>

#include <QList>
#include <QString>

#include "core/Provider.h"

// The model backends the settings page offers: the account service's models, or one provider of
// the user's own. The provider Meta has no choice of its own.
class ProviderChoice
{
public:
    enum Value { Velko, Anthropic, OpenAI, Bedrock };

    constexpr ProviderChoice(Value value)
        : m_value(value)
    { }
    constexpr operator Value() const { return m_value; }

    static QList<ProviderChoice> allCases();
    static std::optional<ProviderChoice> fromRawValue(const QString &raw);
    // Velko unless the server mode is built-in; then the choice of the configured provider.
    static ProviderChoice current();

    QString rawValue() const;
    QString label() const;
    std::optional<Provider> own() const;
    // The text the settings page shows for the backend in use.
    QString inUse() const;

private:
    Value m_value;
};
