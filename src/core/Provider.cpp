#include "core/Provider.h"

#include <QStringList>

QList<Provider> Provider::allCases()
{
    return {Meta, Anthropic, OpenAI, Bedrock};
}

std::optional<Provider> Provider::fromRawValue(const QString &raw)
{
    for (const Provider provider : allCases()) {
        if (provider.rawValue() == raw)
            return provider;
    }
    return std::nullopt;
}

QString Provider::rawValue() const
{
    switch (m_value) {
    case Meta:
        return QStringLiteral("meta");
    case Anthropic:
        return QStringLiteral("anthropic");
    case OpenAI:
        return QStringLiteral("openai");
    case Bedrock:
        return QStringLiteral("bedrock");
    }
    return {};
}

QString Provider::label() const
{
    switch (m_value) {
    case Meta:
        return QStringLiteral("Meta (Muse Spark)");
    case Anthropic:
        return QStringLiteral("Anthropic");
    case OpenAI:
        return QStringLiteral("OpenAI");
    case Bedrock:
        return QStringLiteral("AWS Bedrock");
    }
    return {};
}

std::optional<QString> Provider::keyVar() const
{
    switch (m_value) {
    case Meta:
        return QStringLiteral("MODEL_API_KEY");
    case Anthropic:
        return QStringLiteral("ANTHROPIC_API_KEY");
    case OpenAI:
        return QStringLiteral("OPENAI_API_KEY");
    case Bedrock:
        return std::nullopt;
    }
    return std::nullopt;
}

QStringList Provider::keyVariables()
{
    QStringList names;
    for (const Provider provider : allCases()) {
        if (const auto name = provider.keyVar())
            names.append(*name);
    }
    return names;
}
