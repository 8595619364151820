#pragma once

#include <QString>

#include <exception>
#include <string>

// The error thrown by the few operations that throw (the recorder's and the control socket's
// start): an error domain, a code and the description shown to the user.
class DomainError : public std::exception
{
public:
    DomainError(QString domain, int code, QString description)
        : m_domain(std::move(domain))
        , m_code(code)
        , m_description(std::move(description))
        , m_what(m_description.toStdString())
    { }

    // "{what}: {system text}" in the POSIX domain with errno as the code.
    static DomainError posix(const QString &what, int error);

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    std::string m_what;
};
