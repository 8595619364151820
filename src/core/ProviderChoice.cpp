#include "core/ProviderChoice.h"

#include "core/ServerConfig.h"

QList<ProviderChoice> ProviderChoice::allCases()
{
    return {Velko, Anthropic, OpenAI, Bedrock};
}

std::optional<ProviderChoice> ProviderChoice::fromRawValue(const QString &raw)
{
    for (const ProviderChoice choice : allCases()) {
        if (choice.rawValue() == raw)
            return choice;
    }
    return std::nullopt;
}

ProviderChoice ProviderChoice::current()
{
    if (ServerConfig::mode() != ServerConfig::Mode::Builtin)
        return Velko;
    const auto provider = ServerConfig::provider();
    if (!provider)
        return Velko;
    return fromRawValue(provider->rawValue()).value_or(Velko);
}

QString ProviderChoice::rawValue() const
{
    switch (m_value) {
    case Velko:
        return QStringLiteral("velko");
    case Anthropic:
        return QStringLiteral("anthropic");
    case OpenAI:
        return QStringLiteral("openai");
    case Bedrock:
        return QStringLiteral("bedrock");
    }
    return {};
}

QString ProviderChoice::label() const
{
    switch (m_value) {
    case Velko:
        return QStringLiteral("Velko AI (default)");
    case Anthropic:
        return QStringLiteral("Anthropic");
    case OpenAI:
        return QStringLiteral("OpenAI");
    case Bedrock:
        return QStringLiteral("AWS Bedrock");
    }
    return {};
}

std::optional<Provider> ProviderChoice::own() const
{
    switch (m_value) {
    case Velko:
        return std::nullopt;
    case Anthropic:
        return Provider::Anthropic;
    case OpenAI:
        return Provider::OpenAI;
    case Bedrock:
        return Provider::Bedrock;
    }
    return std::nullopt;
}

QString ProviderChoice::inUse() const
{
    const auto provider = own();
    if (!provider)
        return QStringLiteral("Velko AI");
    return provider->label() + QStringLiteral(", your own key \u2014 on this Mac");
}
