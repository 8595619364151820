#include "core/DomainError.h"

#include <cstring>

DomainError DomainError::posix(const QString &what, int error)
{
    return DomainError(QStringLiteral("POSIX"), error,
                       what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)));
}
