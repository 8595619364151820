#pragma once

#include <optional>

#include <QList>
#include <QString>

// A model provider the built-in model server can talk to. The raw value is what "server.env"
// and the environment carry; the key variable names both the keychain item and the environment
// entry that hands the key to the built-in server.
class Provider
{
public:
    enum Value { Meta, Anthropic, OpenAI, Bedrock };

    constexpr Provider(Value value)
        : m_value(value)
    { }
    constexpr operator Value() const { return m_value; }

    static QList<Provider> allCases();
    static std::optional<Provider> fromRawValue(const QString &raw);

    QString rawValue() const;
    QString label() const;
    // Absent for Bedrock, which signs in through the AWS profile and region instead.
    std::optional<QString> keyVar() const;

    // Every provider key variable: none of them may ever reach the pipeline.
    static QStringList keyVariables();

private:
    Value m_value;
};
