#pragma once

#include <QString>

#include <stdexcept>

namespace PageBridge {

// A refusal shown to the user as it stands: the page bridge, dictation and the tool sign-in
// raise it. `why` is a full sentence, and also the error's description.
class Refused : public std::runtime_error
{
public:
    explicit Refused(const QString &why)
        : std::runtime_error(why.toStdString())
        , why(why)
    { }

    const QString why;
};

} // namespace PageBridge
